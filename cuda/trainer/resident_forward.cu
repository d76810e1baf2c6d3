#include "cuda/trainer/resident_forward.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <stdexcept>
#include <utility>

#include "cuda/device_transfers.h"
#include "cuda/kernels/attention.cuh"
#include "cuda/kernels/embedding.cuh"
#include "cuda/kernels/feed_forward.cuh"
#include "cuda/kernels/loss.cuh"
#include "cuda/kernels/rms_norm.cuh"
#include "cuda/kernels/rope.cuh"
#include "cuda/kernels/rope_table.cuh"
#include "cuda/launch.h"
#include "cuda/trainer/device_elementwise.h"
#include "cuda/trainer/resident_linear.h"

namespace Halcyne::Core::Vestra {
namespace {

// The model's dimensions as the kernels take them (rows = batch * width).
struct ForwardShape {
    std::uint64_t batch;
    std::uint64_t width;
    std::uint64_t rows;
    std::uint64_t model;
    std::uint64_t queryWidth;  // query_heads * head_dim
    std::uint64_t kvWidth;     // kv_heads * head_dim
    std::uint64_t ffn;

    static ForwardShape of(const TransformerSpec& spec, const ResidentBatch& batch) {
        return {batch.batch,
                batch.width,
                batch.rows(),
                spec.model_dim,
                std::uint64_t{spec.query_heads} * spec.head_dim,
                std::uint64_t{spec.kv_heads} * spec.head_dim,
                spec.ffn_dim};
    }
};

void rmsNorm(const TransformerCudaContext& context, const double* input, const ResidentParameter& weight,
             double* output, std::uint64_t rows, std::uint64_t width, double epsilon) {
    launch<trainingRmsKernel>(blocksFor(rows, kElementBlock), kElementBlock, 0, context.stream, input,
                              weight.weights.get(), output, rows, width, epsilon);
}

void rope(const TransformerCudaContext& context, double* values, const double* table, std::uint64_t count,
          std::uint64_t width, std::uint64_t heads, std::uint64_t headDim) {
    launch<trainingRopeKernel>(blocksFor(count / 2, kElementBlock * kThreadElements), kElementBlock, 0, context.stream,
                               values, table, count, width, heads, headDim);
}

// One layer from `hidden` to the new hidden state; `tape` receives the layer's activations, and the
// entering hidden state too when it is kept for the backward.
DeviceBuffer<double> layerForward(ResidentState& state, const TransformerSpec& spec,
                                  const ResidentLayerParameters& layer, const ResidentBatch& batch,
                                  const ForwardShape& shape, const double* ropeTable,
                                  const DeviceBuffer<double>& hidden, ResidentLayerTape& tape, bool keepInput) {
    const TransformerCudaContext& context = *state.context;
    const std::vector<ResidentParameter>& parameters = state.parameters;
    const std::uint64_t rows = shape.rows;
    const double epsilon = spec.normalization.epsilon;
    const bool swiGlu = spec.feed_forward == FeedForwardKind::SwiGlu;
    if (keepInput) {
        tape.input = DeviceBuffer<double>(context, rows * shape.model);
        checkCuda(
            cudaMemcpyAsync(tape.input.get(), hidden.get(), hidden.bytes(), cudaMemcpyDeviceToDevice, context.stream),
            "retain resident hidden");
    }
    tape.attentionNormed = DeviceBuffer<double>(context, rows * shape.model);
    rmsNorm(context, hidden.get(), parameters[layer.attentionNorm], tape.attentionNormed.get(), rows, shape.model,
            epsilon);
    tape.query = DeviceBuffer<double>(context, rows * shape.queryWidth);
    tape.key = DeviceBuffer<double>(context, rows * shape.kvWidth);
    tape.value = DeviceBuffer<double>(context, rows * shape.kvWidth);
    tape.attentionNormedBf16 = residentBf16Input(context, tape.attentionNormed);
    residentLinearForward(context, tape.attentionNormed.get(), tape.attentionNormedBf16,
                          parameters[layer.query].weights.get(), tape.query.get(), rows, shape.model, shape.queryWidth);
    residentLinearForward(context, tape.attentionNormed.get(), tape.attentionNormedBf16,
                          parameters[layer.key].weights.get(), tape.key.get(), rows, shape.model, shape.kvWidth);
    residentLinearForward(context, tape.attentionNormed.get(), tape.attentionNormedBf16,
                          parameters[layer.value].weights.get(), tape.value.get(), rows, shape.model, shape.kvWidth);
    rope(context, tape.query.get(), ropeTable, rows * shape.queryWidth, shape.width, spec.query_heads, spec.head_dim);
    rope(context, tape.key.get(), ropeTable, rows * shape.kvWidth, shape.width, spec.kv_heads, spec.head_dim);
    tape.attention = DeviceBuffer<double>(context, rows * shape.queryWidth);
    launch<trainingAttentionKernel>(blocksFor(rows * shape.queryWidth, kElementBlock), kElementBlock, 0, context.stream,
                                    tape.query.get(), tape.key.get(), tape.value.get(), tape.attention.get(),
                                    batch.lengths.get(), shape.batch, shape.width, spec.query_heads, spec.kv_heads,
                                    spec.head_dim);

    {
        const DeviceBuffer<double> projection(context, rows * shape.model);
        tape.attentionBf16 = residentBf16Input(context, tape.attention);
        residentLinearForward(context, tape.attention.get(), tape.attentionBf16,
                              parameters[layer.attentionOutput].weights.get(), projection.get(), rows, shape.queryWidth,
                              shape.model);
        tape.residual = DeviceBuffer<double>(context, rows * shape.model);
        launchAddOut(context, hidden.get(), projection.get(), tape.residual.get(), rows * shape.model);
    }
    tape.ffnNormed = DeviceBuffer<double>(context, rows * shape.model);
    rmsNorm(context, tape.residual.get(), parameters[layer.ffnNorm], tape.ffnNormed.get(), rows, shape.model, epsilon);
    tape.up = DeviceBuffer<double>(context, rows * shape.ffn);
    tape.ffnNormedBf16 = residentBf16Input(context, tape.ffnNormed);
    residentLinearForward(context, tape.ffnNormed.get(), tape.ffnNormedBf16, parameters[layer.ffnUp].weights.get(),
                          tape.up.get(), rows, shape.model, shape.ffn);
    if (swiGlu) {
        tape.gate = DeviceBuffer<double>(context, rows * shape.ffn);
        residentLinearForward(context, tape.ffnNormed.get(), tape.ffnNormedBf16,
                              parameters[layer.ffnGate.value()].weights.get(), tape.gate.get(), rows, shape.model,
                              shape.ffn);
    }
    tape.activated = DeviceBuffer<double>(context, rows * shape.ffn);
    launch<trainingActivationKernel>(blocksFor(rows * shape.ffn, kElementBlock * kThreadElements), kElementBlock, 0,
                                     context.stream, tape.gate.get(), tape.up.get(), tape.activated.get(),
                                     rows * shape.ffn, swiGlu);

    const DeviceBuffer<double> down(context, rows * shape.model);
    tape.activatedBf16 = residentBf16Input(context, tape.activated);
    residentLinearForward(context, tape.activated.get(), tape.activatedBf16, parameters[layer.ffnDown].weights.get(),
                          down.get(), rows, shape.ffn, shape.model);
    DeviceBuffer<double> next(context, rows * shape.model);
    launchAddOut(context, tape.residual.get(), down.get(), next.get(), rows * shape.model);
    return next;
}

// The checks of an evaluation batch, in the order their messages are given.
void validateEvaluationBatch(const TransformerSpec& spec, const TokenBatch& batch,
                             const std::vector<std::uint32_t>& targets) {
    const bool shaped = batch.batch != 0 && batch.width != 0 && batch.batch <= batch.tokens.max_size() / batch.width;
    if (!shaped || targets.size() != batch.batch * batch.width || batch.tokens.size() != batch.batch * batch.width) {
        throw std::invalid_argument("resident evaluation batch mismatch");
    }
    if (!batch.lengths.empty() && batch.lengths.size() != batch.batch) {
        throw std::invalid_argument("resident evaluation lengths mismatch");
    }
    if (std::ranges::any_of(batch.lengths, [&](std::uint64_t length) { return length > batch.width; })) {
        throw std::invalid_argument("resident evaluation length exceeds sequence");
    }
    if (!batch.lossMask.empty() && batch.lossMask.size() != batch.batch * batch.width) {
        throw std::invalid_argument("resident evaluation loss mask mismatch");
    }
    if (std::ranges::any_of(batch.tokens, [&](std::uint32_t token) { return token >= spec.vocabulary; })) {
        throw std::invalid_argument("resident evaluation token exceeds vocabulary");
    }
    if (std::ranges::any_of(targets, [&](std::uint32_t target) { return target >= spec.vocabulary; })) {
        throw std::invalid_argument("resident evaluation target exceeds vocabulary");
    }
}

}  // namespace

ResidentBatch uploadResidentBatch(const TransformerCudaContext& context, HostStaging& staging, const TokenBatch& batch,
                                  const std::vector<std::uint32_t>& targets, const ResidentUploadLabels& labels) {
    const std::uint64_t rows = batch.batch * batch.width;
    const bool masked = !batch.lossMask.empty();
    // Tokens, targets, lengths and mask one after another in the staging, each 8-byte aligned.
    const std::uint64_t rowBytes = (rows * sizeof(std::uint32_t) + 7) / 8 * 8;
    unsigned char* tokens =
        staging.reserve(context, rowBytes * (masked ? 3 : 2) + batch.batch * sizeof(std::uint64_t), labels.tokens);
    auto* stagedTokens = reinterpret_cast<std::uint32_t*>(tokens);
    auto* stagedTargets = reinterpret_cast<std::uint32_t*>(tokens + rowBytes);
    auto* stagedLengths = reinterpret_cast<std::uint64_t*>(tokens + 2 * rowBytes);
    auto* stagedMask = reinterpret_cast<std::uint32_t*>(tokens + 2 * rowBytes + batch.batch * sizeof(std::uint64_t));
    std::copy(batch.tokens.begin(), batch.tokens.end(), stagedTokens);
    std::copy(targets.begin(), targets.end(), stagedTargets);
    for (std::uint64_t row = 0; row < batch.batch; ++row) {
        stagedLengths[row] = batch.lengths.empty() ? batch.width : batch.lengths[row];
    }
    std::copy(batch.lossMask.begin(), batch.lossMask.end(), stagedMask);

    ResidentBatch resident{batch.batch, batch.width, {}, {}, {}, {}};
    resident.tokens = uploadBuffer(context, std::span<const std::uint32_t>(stagedTokens, rows), labels.tokens);
    resident.targets = uploadBuffer(context, std::span<const std::uint32_t>(stagedTargets, rows), labels.targets);
    resident.lengths =
        uploadBuffer(context, std::span<const std::uint64_t>(stagedLengths, batch.batch), labels.lengths);
    if (masked) {
        resident.mask = uploadBuffer(context, std::span<const std::uint32_t>(stagedMask, rows), labels.lossMask);
    }
    return resident;
}

ResidentForwardResult residentForward(ResidentState& state, const TransformerSpec& spec,
                                      const ResidentParameterIndices& indices, const ResidentBatch& batch,
                                      bool recordTape) {
    const TransformerCudaContext& context = *state.context;
    const ForwardShape shape = ForwardShape::of(spec, batch);
    const std::uint64_t rows = shape.rows;
    ResidentForwardResult result;
    result.ropeTable = DeviceBuffer<double>(context, shape.width * spec.head_dim);
    launch<ropeTableKernel>(blocksFor(shape.width * (spec.head_dim / 2), kElementBlock), kElementBlock, 0,
                            context.stream, result.ropeTable.get(), shape.width, std::uint64_t{spec.head_dim},
                            spec.position.rope_base);
    result.hidden = DeviceBuffer<double>(context, rows * shape.model);
    launch<trainingEmbeddingKernel>(blocksFor(rows * shape.model, kElementBlock), kElementBlock, 0, context.stream,
                                    batch.tokens.get(), state.parameters[indices.tokenEmbedding].weights.get(),
                                    result.hidden.get(), batch.lengths.get(), rows, shape.width, shape.model);
    for (const ResidentLayerParameters& layer : indices.layers) {
        auto tape = std::make_unique<ResidentLayerTape>();
        result.hidden =
            layerForward(state, spec, layer, batch, shape, result.ropeTable.get(), result.hidden, *tape, recordTape);
        if (recordTape) {
            result.tapes.push_back(std::move(tape));
        }
    }
    result.finalNormed = DeviceBuffer<double>(context, rows * shape.model);
    rmsNorm(context, result.hidden.get(), state.parameters[indices.finalNorm], result.finalNormed.get(), rows,
            shape.model, spec.normalization.epsilon);
    result.logits = DeviceBuffer<double>(context, rows * spec.vocabulary);
    result.finalNormedBf16 = residentBf16Input(context, result.finalNormed);
    residentLinearForward(context, result.finalNormed.get(), result.finalNormedBf16,
                          state.parameters[indices.output].weights.get(), result.logits.get(), rows, shape.model,
                          spec.vocabulary);
    return result;
}

double downloadLossSum(ResidentState& state, const DeviceBuffer<double>& losses, const char* kernelCheck,
                       const char* download, const char* synchronize) {
    const TransformerCudaContext& context = *state.context;
    const DeviceBuffer<double> sum(context, 1);
    launch<sumLossKernel>(1, 1, 0, context.stream, losses.get(), losses.count(), sum.get());
    // The launches of the operation are not checked one by one: a refused one is reported here,
    // before its result would be read.
    checkKernels(kernelCheck);
    double loss = 0.0;
    unsigned char* staged = state.scalarStaging.reserve(context, sizeof loss, download);
    copyToHost(context, staged, sum.get(), sizeof loss, download);
    Vestra::synchronize(context, synchronize);
    state.batchStaging.settle();
    state.scalarStaging.settle();
    std::memcpy(&loss, staged, sizeof loss);
    state.scalarBoundaryCrossings += 1;
    return loss;
}

double residentEvaluate(ResidentState& state, const TransformerSpec& spec, const ResidentParameterIndices& indices,
                        const TokenBatch& batch, const std::vector<std::uint32_t>& targets) {
    const ResidentBf16ScopeGuard scope(spec.precision.activations == PrecisionKind::Bf16, state);
    requireCompleteContext(*state.context);
    validateEvaluationBatch(spec, batch, targets);
    const TransformerCudaContext& context = *state.context;
    const ResidentBatch resident =
        uploadResidentBatch(context, state.batchStaging, batch, targets,
                            {"upload resident evaluation tokens", "upload resident evaluation targets",
                             "upload resident evaluation lengths", "upload resident evaluation loss mask"});
    const ResidentForwardResult forward = residentForward(state, spec, indices, resident, false);
    const std::uint64_t rows = resident.rows();
    const DeviceBuffer<double> losses(context, rows);
    launch<lossOnlyKernel>(blocksFor(rows, kPositionBlock), kPositionBlock, 0, context.stream, forward.logits.get(),
                           resident.targets.get(), resident.lengths.get(), resident.mask.get(), losses.get(),
                           resident.batch, resident.width, std::uint64_t{spec.vocabulary});
    return downloadLossSum(state, losses, "resident evaluation kernels", "download resident evaluation loss",
                           "synchronize resident evaluation loss");
}

}  // namespace Halcyne::Core::Vestra
