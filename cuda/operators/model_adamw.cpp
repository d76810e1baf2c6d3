#include "cuda/operators/model_adamw.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace Halcyne::Core::Vestra {

CudaAdamWConfig configurationFor(bool decays, const CudaAdamWConfig& configuration) {
    CudaAdamWConfig result = configuration;
    if (!decays) {
        result.weight_decay = 0.0;
    }
    return result;
}

void cudaModelAdamW(TransformerWeights& weights, const TransformerWeights& gradients, CudaModelAdamWState& state,
                    const CudaAdamWConfig& configuration, const TransformerCudaContext& context) {
    if (weights.layers.size() != gradients.layers.size()) {
        throw std::invalid_argument("CUDA model AdamW layer mismatch");
    }
    if (state.layers.empty()) {
        state.layers.resize(weights.layers.size());
    }
    if (state.layers.size() != weights.layers.size()) {
        throw std::invalid_argument("CUDA model AdamW state mismatch");
    }

    std::vector<std::pair<WeightSlot, Tensor*>> tensors;
    forEachWeightTensor(weights, [&](const WeightSlot& slot, Tensor& tensor) {
        if (slot.tensor != WeightTensor::FfnGate || !tensor.empty()) {
            tensors.emplace_back(slot, &tensor);
        }
    });
    // The model-level tensors (token_embedding, final_norm, output_embedding) step before the layers.
    std::stable_partition(tensors.begin(), tensors.end(), [](const auto& entry) { return !entry.first.layer; });
    for (const auto& [slot, tensor] : tensors) {
        cudaAdamW(*tensor, weightSlotMember(gradients, slot), weightSlotMember(state, slot),
                  configurationFor(slot.decays, configuration), context);
    }
}

}  // namespace Halcyne::Core::Vestra
