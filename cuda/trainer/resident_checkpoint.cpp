// The device trainer's checkpoint: the same VTT image as the CPU trainer's, written from staging
// copies of the resident state and read all or nothing: a restore parses and checks the whole image
// on the host, builds a complete new resident state and swaps it in only once that has succeeded.
#include <utility>

#include "cuda/operators/model_backward.h"
#include "cuda/trainer/transformer_cuda_trainer.h"
#include "training/vtt_checkpoint.h"

namespace Halcyne::Core::Vestra {
namespace {

constexpr VttMessages kCudaVttMessages{
    "truncated CUDA VTT checkpoint",
    "CUDA VTT checksum mismatch",
    "unknown CUDA VTT format",
    "CUDA VTT model spec mismatch",
    "CUDA VTT training config mismatch",
    "CUDA VTT tensor shape mismatch",
    "truncated CUDA VTT tensor",
    "CUDA VTT trailing payload",
    nullptr,  // tensor values travel as they are
    "CUDA VTT non-finite loss",
};

// A moment set as the image's two weight-shaped sets (first moments, second moments).
std::pair<TransformerWeights, TransformerWeights> momentSets(const CudaModelAdamWState& moments) {
    std::pair<TransformerWeights, TransformerWeights> sets;
    sets.first.layers.resize(moments.layers.size());
    sets.second.layers.resize(moments.layers.size());
    for (const WeightSlot& slot :
         canonicalWeightSlots(moments.layers.size(), !moments.output_embedding.firstMoment.empty())) {
        const CudaAdamWState& moment = weightSlotMember(moments, slot);
        weightSlotMember(sets.first, slot) = moment.firstMoment;
        weightSlotMember(sets.second, slot) = moment.secondMoment;
    }
    return sets;
}

// The inverse, every entry that holds values at step `steps`.
CudaModelAdamWState momentState(TransformerWeights first, TransformerWeights second, std::uint64_t steps) {
    CudaModelAdamWState moments;
    moments.layers.resize(first.layers.size());
    forEachWeightTensor(first, [&](const WeightSlot& slot, Tensor& tensor) {
        const std::uint64_t step = tensor.empty() ? 0 : steps;
        weightSlotMember(moments, slot) =
            CudaAdamWState{std::move(tensor), std::move(weightSlotMember(second, slot)), step};
    });
    return moments;
}

}  // namespace

Bytes TransformerCudaTrainer::checkpointBytes() {
    TransformerWeights weights = weights_;
    TransformerWeights gradients = zeroGradientsLike(weights_);
    CudaModelAdamWState moments = hostMoments_;
    if (moments.layers.size() != weights.layers.size()) {
        moments = momentsShapedLike(weights, counters_.steps);
    }
    downloadResidentCheckpointState(*resident_, weights, moments, gradients, counters_.steps, !weightsMaterialized_);
    const auto [first, second] = momentSets(moments);
    return encodeVttCheckpoint(transformerSpecFingerprint(spec_), trainingConfigFingerprint(config_), counters_,
                               {weights, first, second, gradients});
}

void TransformerCudaTrainer::restoreCheckpoint(std::span<const std::uint8_t> bytes) {
    const auto payload = checkedVttPayload(bytes, kCudaVttMessages);
    TransformerWeights weights = weights_;
    TransformerWeights first = zeroGradientsLike(weights_);
    TransformerWeights second = zeroGradientsLike(weights_);
    TransformerWeights gradients = zeroGradientsLike(weights_);
    TrainingCounters counters;
    decodeVttPayload(payload, transformerSpecFingerprint(spec_), trainingConfigFingerprint(config_), counters,
                     {weights, first, second, gradients}, kCudaVttMessages);
    CudaModelAdamWState moments = momentState(std::move(first), std::move(second), counters.steps);
    std::shared_ptr<ResidentState> state = initializeResidentState(weights, *context_, &moments, &gradients);

    // Nothing below can fail.
    weights_ = std::move(weights);
    hostMoments_ = std::move(moments);
    hostGradients_ = std::move(gradients);
    counters_ = counters;
    resident_ = std::move(state);
    weightsMaterialized_ = true;
}

}  // namespace Halcyne::Core::Vestra
