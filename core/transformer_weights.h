// The one weight-set layout: a model's weights and a trainer's weights, gradients and moments all
// use it. Projection matrices are [output features, input features], row-major. The canonical
// tensor order below is what artifacts, checkpoints and optimizers walk; keep every walker on
// forEachWeightTensor so that no parallel list can drift from the member order.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/tensor.h"
#include "core/transformer_spec.h"

namespace Halcyne::Core::Vestra {

struct TransformerLayerWeights {
    Tensor attention_norm;    // [model_dim]
    Tensor query;             // [Q, model_dim]
    Tensor key;               // [K, model_dim]
    Tensor value;             // [K, model_dim]
    Tensor attention_output;  // [model_dim, Q]
    Tensor ffn_norm;          // [model_dim]
    Tensor ffn_gate;          // [ffn_dim, model_dim]; used only by SwiGLU
    Tensor ffn_up;            // [ffn_dim, model_dim]
    Tensor ffn_down;          // [model_dim, ffn_dim]
};

struct TransformerWeights {
    Tensor token_embedding;  // [vocabulary, model_dim]
    std::vector<TransformerLayerWeights> layers;
    Tensor final_norm;        // [model_dim]
    Tensor output_embedding;  // [vocabulary, model_dim]; empty when embeddings are tied
};

enum class WeightTensor : std::uint8_t {
    TokenEmbedding,
    AttentionNorm,
    Query,
    Key,
    Value,
    AttentionOutput,
    FfnNorm,
    FfnGate,
    FfnUp,
    FfnDown,
    FinalNorm,
    OutputEmbedding,
};

// Where a tensor sits in the canonical order: which member it is, its layer (none for the
// model-level tensors), its member name, and whether weight decay applies (every matrix and both
// embeddings; never a norm).
struct WeightSlot {
    WeightTensor tensor;
    std::optional<std::size_t> layer;
    std::string_view name;
    bool decays = true;
};

// Canonical name: the member name, behind "layers.<i>." for layer tensors.
[[nodiscard]] std::string canonicalTensorName(const WeightSlot& slot);

// Calls visit(const WeightSlot&, Tensor&) (const Tensor& for const weights) in canonical order:
// token_embedding; per layer attention_norm, query, key, value, attention_output, ffn_norm,
// ffn_gate, ffn_up, ffn_down; final_norm; output_embedding only when it holds values. Sets derived
// from TransformerWeights (gradients) are walked over their weight-shaped part.
template <class Weights, class Visit>
requires std::derived_from<std::remove_const_t<Weights>, TransformerWeights>
void forEachWeightTensor(Weights& weights, Visit&& visit) {
    visit(WeightSlot{WeightTensor::TokenEmbedding, std::nullopt, "token_embedding", true}, weights.token_embedding);
    for (std::size_t i = 0; i < weights.layers.size(); ++i) {
        auto& layer = weights.layers[i];
        visit(WeightSlot{WeightTensor::AttentionNorm, i, "attention_norm", false}, layer.attention_norm);
        visit(WeightSlot{WeightTensor::Query, i, "query", true}, layer.query);
        visit(WeightSlot{WeightTensor::Key, i, "key", true}, layer.key);
        visit(WeightSlot{WeightTensor::Value, i, "value", true}, layer.value);
        visit(WeightSlot{WeightTensor::AttentionOutput, i, "attention_output", true}, layer.attention_output);
        visit(WeightSlot{WeightTensor::FfnNorm, i, "ffn_norm", false}, layer.ffn_norm);
        visit(WeightSlot{WeightTensor::FfnGate, i, "ffn_gate", true}, layer.ffn_gate);
        visit(WeightSlot{WeightTensor::FfnUp, i, "ffn_up", true}, layer.ffn_up);
        visit(WeightSlot{WeightTensor::FfnDown, i, "ffn_down", true}, layer.ffn_down);
    }
    visit(WeightSlot{WeightTensor::FinalNorm, std::nullopt, "final_norm", false}, weights.final_norm);
    if (!weights.output_embedding.values.empty()) {
        visit(WeightSlot{WeightTensor::OutputEmbedding, std::nullopt, "output_embedding", true},
              weights.output_embedding);
    }
}

[[nodiscard]] std::vector<std::string> canonicalTensorNames(const TransformerWeights& weights);

// The slots forEachWeightTensor visits for a set of `layers` layers, with the output embedding's
// slot only when withOutputEmbedding: the walk without a weight set, for per-tensor records that
// mirror the layout (optimizer states) and are walked in the same order.
[[nodiscard]] std::vector<WeightSlot> canonicalWeightSlots(std::size_t layers, bool withOutputEmbedding);

// The member a slot names in any set that mirrors the layout member for member (weights,
// gradients, per-tensor optimizer states): same member names, layers in `layers`. The slot's layer
// must exist in the set.
template <class Set>
auto& weightSlotMember(Set& set, const WeightSlot& slot) {
    switch (slot.tensor) {
        case WeightTensor::TokenEmbedding:
            return set.token_embedding;
        case WeightTensor::AttentionNorm:
            return set.layers[*slot.layer].attention_norm;
        case WeightTensor::Query:
            return set.layers[*slot.layer].query;
        case WeightTensor::Key:
            return set.layers[*slot.layer].key;
        case WeightTensor::Value:
            return set.layers[*slot.layer].value;
        case WeightTensor::AttentionOutput:
            return set.layers[*slot.layer].attention_output;
        case WeightTensor::FfnNorm:
            return set.layers[*slot.layer].ffn_norm;
        case WeightTensor::FfnGate:
            return set.layers[*slot.layer].ffn_gate;
        case WeightTensor::FfnUp:
            return set.layers[*slot.layer].ffn_up;
        case WeightTensor::FfnDown:
            return set.layers[*slot.layer].ffn_down;
        case WeightTensor::FinalNorm:
            return set.final_norm;
        case WeightTensor::OutputEmbedding:
            break;
    }
    return set.output_embedding;
}

// The shape each canonical tensor has under a spec (Q = query_heads * head_dim, K = kv_heads *
// head_dim). For the output embedding it is the shape the tensor has when embeddings are untied.
[[nodiscard]] Extents expectedWeightShape(const TransformerSpec& spec, WeightTensor tensor);

// Throws std::domain_error "transformer weights contain NaN/Inf" when any value of any canonical
// tensor is not finite. A model or trainer checks this when it is built: a probe of one token reads
// only part of the weights, and a non-finite weight elsewhere would refuse every later step.
void requireFiniteWeights(const TransformerWeights& weights);

// A weight set of the spec's shapes filled with zeros; ffn_gate is built for every feed-forward
// kind, and the output embedding only when embeddings are not tied.
[[nodiscard]] TransformerWeights zeroWeights(const TransformerSpec& spec);

}  // namespace Halcyne::Core::Vestra
