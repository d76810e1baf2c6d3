// AdamW for a whole model on the device, with the optimizer state kept by the caller on the host:
// one cudaAdamW call per weight tensor, each with its own state. Norm weights never decay; every
// matrix and both embeddings do, as in the CPU trainer.
#pragma once

#include <type_traits>
#include <vector>

#include "core/transformer_weights.h"
#include "cuda/operators/adamw.h"
#include "cuda/transformer_cuda_context.h"

namespace Halcyne::Core::Vestra {

// One state per tensor of TransformerLayerWeights, under the same member names.
struct CudaLayerAdamWState {
    CudaAdamWState attention_norm;
    CudaAdamWState query;
    CudaAdamWState key;
    CudaAdamWState value;
    CudaAdamWState attention_output;
    CudaAdamWState ffn_norm;
    CudaAdamWState ffn_gate;
    CudaAdamWState ffn_up;
    CudaAdamWState ffn_down;
};

// A default state (no layers, every step 0) is valid input to cudaModelAdamW and to the persistent
// model optimizer. Mirrors TransformerWeights member for member, so weightSlotMember reaches it.
struct CudaModelAdamWState {
    CudaAdamWState token_embedding;
    CudaAdamWState final_norm;
    CudaAdamWState output_embedding;
    std::vector<CudaLayerAdamWState> layers;
};

// The per-tensor states in canonical tensor order, the output embedding's only when
// withOutputEmbedding.
template <class State>
requires std::is_same_v<std::remove_const_t<State>, CudaModelAdamWState>
[[nodiscard]] auto canonicalStates(State& state, bool withOutputEmbedding) {
    std::vector<decltype(&state.token_embedding)> states;
    for (const WeightSlot& slot : canonicalWeightSlots(state.layers.size(), withOutputEmbedding)) {
        states.push_back(&weightSlotMember(state, slot));
    }
    return states;
}

// Updates weights and state in place: token_embedding, final_norm, output_embedding (when it holds
// values), then each layer's tensors in member order (ffn_gate only when it holds values). A
// default state gets one group per layer first. Throws std::invalid_argument "CUDA model AdamW
// layer mismatch" when the gradients' layer count differs from the weights', "CUDA model AdamW
// state mismatch" when the state's does, both before any update; otherwise stops at the first
// tensor whose cudaAdamW throws, leaving the tensors before it updated.
void cudaModelAdamW(TransformerWeights& weights, const TransformerWeights& gradients, CudaModelAdamWState& state,
                    const CudaAdamWConfig& configuration, const TransformerCudaContext& context);

// The configuration a tensor is stepped with: unchanged for a decaying tensor, with weight_decay
// 0.0 for a norm.
[[nodiscard]] CudaAdamWConfig configurationFor(bool decays, const CudaAdamWConfig& configuration);

}  // namespace Halcyne::Core::Vestra
