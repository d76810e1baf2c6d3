#include "core/transformer_weights.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "core/identity_text.h"

namespace Halcyne::Core::Vestra {

std::string canonicalTensorName(const WeightSlot& slot) {
    if (!slot.layer) {
        return std::string(slot.name);
    }
    return "layers." + identityDecimal(*slot.layer) + "." + std::string(slot.name);
}

std::vector<std::string> canonicalTensorNames(const TransformerWeights& weights) {
    std::vector<std::string> names;
    forEachWeightTensor(weights,
                        [&](const WeightSlot& slot, const Tensor&) { names.push_back(canonicalTensorName(slot)); });
    return names;
}

void requireFiniteWeights(const TransformerWeights& weights) {
    bool finite = true;
    forEachWeightTensor(weights, [&](const WeightSlot&, const Tensor& tensor) {
        finite = finite && std::all_of(tensor.values.begin(), tensor.values.end(),
                                       [](double value) { return std::isfinite(value); });
    });
    if (!finite) {
        throw std::domain_error("transformer weights contain NaN/Inf");
    }
}

std::vector<WeightSlot> canonicalWeightSlots(std::size_t layers, bool withOutputEmbedding) {
    TransformerWeights skeleton;
    skeleton.layers.resize(layers);
    if (withOutputEmbedding) {
        // One value makes the walk visit the slot.
        skeleton.output_embedding = Tensor(Extents{});
    }
    std::vector<WeightSlot> slots;
    forEachWeightTensor(skeleton, [&](const WeightSlot& slot, const Tensor&) { slots.push_back(slot); });
    return slots;
}

Extents expectedWeightShape(const TransformerSpec& spec, WeightTensor tensor) {
    const std::uint64_t vocabulary = spec.vocabulary;
    const std::uint64_t model = spec.model_dim;
    const std::uint64_t ffn = spec.ffn_dim;
    const std::uint64_t query = std::uint64_t{spec.query_heads} * spec.head_dim;
    const std::uint64_t keyValue = std::uint64_t{spec.kv_heads} * spec.head_dim;
    switch (tensor) {
        case WeightTensor::TokenEmbedding:
        case WeightTensor::OutputEmbedding:
            return {vocabulary, model};
        case WeightTensor::AttentionNorm:
        case WeightTensor::FfnNorm:
        case WeightTensor::FinalNorm:
            return {model};
        case WeightTensor::Query:
            return {query, model};
        case WeightTensor::Key:
        case WeightTensor::Value:
            return {keyValue, model};
        case WeightTensor::AttentionOutput:
            return {model, query};
        case WeightTensor::FfnGate:
        case WeightTensor::FfnUp:
            return {ffn, model};
        case WeightTensor::FfnDown:
            return {model, ffn};
    }
    throw std::invalid_argument("unknown weight tensor");
}

TransformerWeights zeroWeights(const TransformerSpec& spec) {
    TransformerWeights weights;
    weights.layers.resize(spec.layers);
    for (const WeightSlot& slot : canonicalWeightSlots(spec.layers, !spec.tied_embeddings)) {
        weightSlotMember(weights, slot) = Tensor(expectedWeightShape(spec, slot.tensor));
    }
    return weights;
}

}  // namespace Halcyne::Core::Vestra
