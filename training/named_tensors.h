// The trainer's canonical parameter list over any weight-shaped set (weights, gradients, moments):
// the canonical tensor order with weight-decay flags and layer-free names. The list is positional;
// the step, the checkpoint and the weights fingerprint walk several sets in parallel by index.
#pragma once

#include <string_view>
#include <vector>

#include "core/transformer_weights.h"

namespace Halcyne::Core::Vestra {

template <class TensorType>
struct NamedTensorOf {
    std::string_view name;  // member name, without a layer prefix
    TensorType& tensor;
    bool decays;
};

using NamedTensor = NamedTensorOf<Tensor>;
using ConstNamedTensor = NamedTensorOf<const Tensor>;

// "token_embedding"; per layer "attention_norm", "query", "key", "value", "attention_output",
// "ffn_norm", "ffn_gate", "ffn_up", "ffn_down"; "final_norm"; "output_embedding" only when it
// holds values. Norms never decay; every matrix and both embeddings do.
[[nodiscard]] std::vector<NamedTensor> namedTensors(TransformerWeights& weights);
[[nodiscard]] std::vector<ConstNamedTensor> namedTensors(const TransformerWeights& weights);

// A set of the same layout with every tensor of the same shape, all zeros; a tensor without
// values gives an empty tensor.
[[nodiscard]] TransformerWeights zerosLike(const TransformerWeights& weights);

}  // namespace Halcyne::Core::Vestra
