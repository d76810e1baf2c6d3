#include "cuda/trainer/resident_accumulation.h"

#include <algorithm>
#include <stdexcept>

#include "cuda/kernels/attention_matrix_backward.cuh"
#include "cuda/kernels/cross_entropy.cuh"
#include "cuda/kernels/embedding_backward.cuh"
#include "cuda/kernels/feed_forward_backward.cuh"
#include "cuda/kernels/rope_backward.cuh"
#include "cuda/launch.h"
#include "cuda/trainer/device_elementwise.h"
#include "cuda/trainer/resident_forward.h"
#include "cuda/trainer/resident_linear.h"

namespace Halcyne::Core::Vestra {
namespace {

void validateTrainingBatch(const TokenBatch& batch, const std::vector<std::uint32_t>& targets) {
    const bool shaped = batch.batch != 0 && batch.width != 0 && batch.batch <= batch.tokens.max_size() / batch.width;
    if (!shaped || targets.size() != batch.batch * batch.width || batch.tokens.size() != batch.batch * batch.width) {
        throw std::invalid_argument("resident training batch mismatch");
    }
    if (!batch.lengths.empty() && batch.lengths.size() != batch.batch) {
        throw std::invalid_argument("resident training lengths mismatch");
    }
    if (!batch.lossMask.empty() && batch.lossMask.size() != batch.batch * batch.width) {
        throw std::invalid_argument("resident training loss mask mismatch");
    }
    if (std::ranges::any_of(batch.lengths, [&](std::uint64_t length) { return length > batch.width; })) {
        throw std::invalid_argument("resident training length exceeds sequence");
    }
    if (countResidentActiveTargets(batch) == 0) {
        throw std::invalid_argument("resident training batch contains no active loss targets");
    }
}

void validateTrainingIds(const TransformerSpec& spec, const TokenBatch& batch,
                         const std::vector<std::uint32_t>& targets) {
    if (std::ranges::any_of(batch.tokens, [&](std::uint32_t token) { return token >= spec.vocabulary; })) {
        throw std::invalid_argument("resident training token exceeds vocabulary");
    }
    if (std::ranges::any_of(targets, [&](std::uint32_t target) { return target >= spec.vocabulary; })) {
        throw std::invalid_argument("resident training target exceeds vocabulary");
    }
}

// A weight gradient pair from the backward of one product: the weight half goes into its resident
// gradient at once, the input half flows on.
DeviceBuffer<double> linearBackwardInto(ResidentState& state, const DeviceBuffer<double>& input,
                                        const DeviceBuffer<bfloat16>& inputBf16, std::size_t parameter,
                                        const DeviceBuffer<double>& gradient, std::uint64_t rows, std::uint64_t in,
                                        std::uint64_t out) {
    ResidentGradientPair pair = residentLinearBackward(*state.context, input, inputBf16, state.parameters.at(parameter),
                                                       gradient, rows, in, out);
    accumulateResidentGradient(state, parameter, pair.weight);
    return std::move(pair.input);
}

DeviceBuffer<double> rmsNormBackwardInto(ResidentState& state, const DeviceBuffer<double>& input, std::size_t parameter,
                                         const DeviceBuffer<double>& gradient, std::uint64_t rows, std::uint64_t width,
                                         double epsilon) {
    ResidentGradientPair pair =
        residentRmsNormBackward(*state.context, input, state.parameters.at(parameter), gradient, rows, width, epsilon);
    accumulateResidentGradient(state, parameter, pair.weight);
    return std::move(pair.input);
}

// The attention backward of one layer from the gradient of its output (dA): the query, key and
// value gradients before RoPE is undone.
struct AttentionInputGradients {
    DeviceBuffer<double> query;
    DeviceBuffer<double> key;
    DeviceBuffer<double> value;
};

AttentionInputGradients attentionBackward(const TransformerCudaContext& context, const TransformerSpec& spec,
                                          const ResidentBatch& batch, const ResidentLayerTape& tape,
                                          const double* ropeTable, const DeviceBuffer<double>& outputGradient) {
    const std::uint64_t rows = batch.rows();
    const std::uint64_t queryWidth = std::uint64_t{spec.query_heads} * spec.head_dim;
    const std::uint64_t kvWidth = std::uint64_t{spec.kv_heads} * spec.head_dim;
    const std::uint64_t matrixRows = batch.batch * spec.query_heads * batch.width;
    AttentionInputGradients gradients{DeviceBuffer<double>(context, rows * queryWidth),
                                      DeviceBuffer<double>(context, rows * kvWidth),
                                      DeviceBuffer<double>(context, rows * kvWidth)};
    const DeviceBuffer<double> probabilities(context, matrixRows * batch.width);
    const DeviceBuffer<double> scoreGradients(context, matrixRows * batch.width);
    launch<attentionStatisticsKernel>(blocksFor(matrixRows, kPositionBlock), kPositionBlock, 0, context.stream,
                                      tape.query.get(), tape.key.get(), tape.value.get(), outputGradient.get(),
                                      probabilities.get(), scoreGradients.get(), batch.lengths.get(), batch.batch,
                                      batch.width, spec.query_heads, spec.kv_heads, spec.head_dim);
    launch<attentionMatrixQueryBackwardKernel>(blocksFor(rows * queryWidth, kElementBlock), kElementBlock, 0,
                                               context.stream, tape.key.get(), scoreGradients.get(),
                                               gradients.query.get(), batch.lengths.get(), batch.batch, batch.width,
                                               spec.query_heads, spec.kv_heads, spec.head_dim);
    launch<attentionMatrixKeyValueBackwardKernel>(
        blocksFor(rows * kvWidth, kElementBlock), kElementBlock, 0, context.stream, tape.query.get(),
        outputGradient.get(), probabilities.get(), scoreGradients.get(), gradients.key.get(), gradients.value.get(),
        batch.lengths.get(), batch.batch, batch.width, spec.query_heads, spec.kv_heads, spec.head_dim);

    const auto unrotate = [&](const DeviceBuffer<double>& rotated, std::uint64_t heads) {
        DeviceBuffer<double> plain(context, rotated.count());
        launch<ropeBackwardKernel>(blocksFor(rotated.count() / 2, kElementBlock * kThreadElements), kElementBlock, 0,
                                   context.stream, rotated.get(), plain.get(), ropeTable, rotated.count(), batch.width,
                                   heads, std::uint64_t{spec.head_dim});
        return plain;
    };
    gradients.query = unrotate(gradients.query, spec.query_heads);
    gradients.key = unrotate(gradients.key, spec.kv_heads);
    return gradients;
}

// One layer backward from dH, the gradient of the layer's output; returns the gradient of its input.
DeviceBuffer<double> layerBackward(ResidentState& state, const TransformerSpec& spec,
                                   const ResidentLayerParameters& layer, const ResidentBatch& batch,
                                   const ResidentLayerTape& tape, const double* ropeTable,
                                   const DeviceBuffer<double>& dH) {
    const TransformerCudaContext& context = *state.context;
    const std::uint64_t rows = batch.rows();
    const std::uint64_t model = spec.model_dim;
    const std::uint64_t ffn = spec.ffn_dim;
    const std::uint64_t queryWidth = std::uint64_t{spec.query_heads} * spec.head_dim;
    const std::uint64_t kvWidth = std::uint64_t{spec.kv_heads} * spec.head_dim;
    const double epsilon = spec.normalization.epsilon;
    const bool swiGlu = spec.feed_forward == FeedForwardKind::SwiGlu;

    const DeviceBuffer<double> activatedGradient =
        linearBackwardInto(state, tape.activated, tape.activatedBf16, layer.ffnDown, dH, rows, ffn, model);
    const DeviceBuffer<double> upGradient(context, rows * ffn);
    const DeviceBuffer<double> gateGradient(context, swiGlu ? rows * ffn : 0);
    launch<activationBackwardKernel>(blocksFor(rows * ffn, kElementBlock * kThreadElements), kElementBlock, 0,
                                     context.stream, tape.gate.get(), tape.up.get(), activatedGradient.get(),
                                     gateGradient.get(), upGradient.get(), rows * ffn, swiGlu);
    const DeviceBuffer<double> normedGradient =
        linearBackwardInto(state, tape.ffnNormed, tape.ffnNormedBf16, layer.ffnUp, upGradient, rows, model, ffn);
    if (swiGlu) {
        const DeviceBuffer<double> fromGate = linearBackwardInto(state, tape.ffnNormed, tape.ffnNormedBf16,
                                                                 layer.ffnGate.value(), gateGradient, rows, model, ffn);
        launchAdd(context, normedGradient.get(), fromGate.get(), rows * model);
    }
    const DeviceBuffer<double> residualGradient =
        rmsNormBackwardInto(state, tape.residual, layer.ffnNorm, normedGradient, rows, model, epsilon);
    launchAdd(context, residualGradient.get(), dH.get(), rows * model);

    const DeviceBuffer<double> attentionGradient = linearBackwardInto(
        state, tape.attention, tape.attentionBf16, layer.attentionOutput, residualGradient, rows, queryWidth, model);
    const AttentionInputGradients attention =
        attentionBackward(context, spec, batch, tape, ropeTable, attentionGradient);
    const DeviceBuffer<double> fromQuery = linearBackwardInto(state, tape.attentionNormed, tape.attentionNormedBf16,
                                                              layer.query, attention.query, rows, model, queryWidth);
    const DeviceBuffer<double> fromKey = linearBackwardInto(state, tape.attentionNormed, tape.attentionNormedBf16,
                                                            layer.key, attention.key, rows, model, kvWidth);
    const DeviceBuffer<double> fromValue = linearBackwardInto(state, tape.attentionNormed, tape.attentionNormedBf16,
                                                              layer.value, attention.value, rows, model, kvWidth);
    launchAdd(context, fromQuery.get(), fromKey.get(), rows * model);
    launchAdd(context, fromQuery.get(), fromValue.get(), rows * model);

    DeviceBuffer<double> inputGradient =
        rmsNormBackwardInto(state, tape.input, layer.attentionNorm, fromQuery, rows, model, epsilon);
    launchAdd(context, inputGradient.get(), residualGradient.get(), rows * model);
    return inputGradient;
}

}  // namespace

std::uint64_t countResidentActiveTargets(const TokenBatch& batch) {
    std::uint64_t active = 0;
    for (std::uint64_t row = 0; row < batch.batch; ++row) {
        const std::uint64_t length = batch.lengths.empty() ? batch.width : batch.lengths[row];
        for (std::uint64_t position = 0; position < length; ++position) {
            active += batch.lossMask.empty() || batch.lossMask[row * batch.width + position] != 0 ? 1 : 0;
        }
    }
    return active;
}

double residentAccumulate(ResidentState& state, const TransformerSpec& spec, const ResidentParameterIndices& indices,
                          const TokenBatch& batch, const std::vector<std::uint32_t>& targets) {
    const ResidentBf16ScopeGuard scope(spec.precision.activations == PrecisionKind::Bf16, state);
    requireCompleteContext(*state.context);
    validateTrainingBatch(batch, targets);
    validateTrainingIds(spec, batch, targets);
    const double active = static_cast<double>(countResidentActiveTargets(batch));

    const TransformerCudaContext& context = *state.context;
    const ResidentBatch resident = uploadResidentBatch(
        context, state.batchStaging, batch, targets,
        {"upload resident tokens", "upload resident targets", "upload resident lengths", "upload resident loss mask"});
    const ResidentForwardResult forward = residentForward(state, spec, indices, resident, true);

    const std::uint64_t rows = resident.rows();
    const std::uint64_t model = spec.model_dim;
    const std::uint64_t vocabulary = spec.vocabulary;
    const DeviceBuffer<double> logitsGradient(context, rows * vocabulary);
    const DeviceBuffer<double> losses(context, rows);
    launch<crossEntropyKernel>(blocksFor(rows, kPositionBlock), kPositionBlock, 0, context.stream, forward.logits.get(),
                               resident.targets.get(), resident.lengths.get(), logitsGradient.get(), losses.get(),
                               resident.batch, resident.width, vocabulary);
    if (!resident.mask.empty()) {
        launch<applyLossMaskKernel>(blocksFor(rows, kPositionBlock), kPositionBlock, 0, context.stream,
                                    logitsGradient.get(), losses.get(), resident.mask.get(), rows, vocabulary);
    }
    // The gradient of the mean over active targets; the loss handed back stays a sum.
    launchScale(context, logitsGradient.get(), rows * vocabulary, 1.0 / active);

    const DeviceBuffer<double> normedGradient = linearBackwardInto(
        state, forward.finalNormed, forward.finalNormedBf16, indices.output, logitsGradient, rows, model, vocabulary);
    DeviceBuffer<double> dH = rmsNormBackwardInto(state, forward.hidden, indices.finalNorm, normedGradient, rows, model,
                                                  spec.normalization.epsilon);
    for (std::size_t l = indices.layers.size(); l-- > 0;) {
        dH = layerBackward(state, spec, indices.layers[l], resident, *forward.tapes[l], forward.ropeTable.get(), dH);
    }

    const DeviceBuffer<double> embeddingGradient(context, vocabulary * model);
    launch<embeddingBackwardKernel>(blocksFor(vocabulary * model, kElementBlock), kElementBlock, 0, context.stream,
                                    resident.tokens.get(), dH.get(), embeddingGradient.get(), rows, vocabulary, model);
    accumulateResidentGradient(state, indices.tokenEmbedding, embeddingGradient);
    return downloadLossSum(state, losses, "resident training kernels", "download resident loss",
                           "synchronize resident training loss");
}

}  // namespace Halcyne::Core::Vestra
