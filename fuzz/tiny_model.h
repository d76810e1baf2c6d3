// Tiny models for the fuzz targets, built here rather than from the driver's fixtures so that the
// targets need the host library alone. Weights are deterministic: a sine per tensor, norms near 1.
#pragma once

#include <cmath>
#include <cstdint>

#include "core/transformer_spec.h"
#include "core/transformer_weights.h"
#include "training/training_config.h"

namespace Halcyne::Core::Vestra::Fuzzing {

struct TinyShape {
    std::uint32_t vocabulary = 6;
    std::uint32_t context = 4;
    std::uint32_t layers = 1;
    std::uint32_t queryHeads = 2;
    std::uint32_t kvHeads = 1;
    std::uint32_t headDim = 2;
    std::uint32_t ffnDim = 4;
    FeedForwardKind feedForward = FeedForwardKind::SwiGlu;
    bool tiedEmbeddings = false;
};

inline TransformerSpec tinySpec(const TinyShape& shape = {}) {
    TransformerSpec spec;
    spec.vocabulary = shape.vocabulary;
    spec.context = shape.context;
    spec.layers = shape.layers;
    spec.query_heads = shape.queryHeads;
    spec.kv_heads = shape.kvHeads;
    spec.head_dim = shape.headDim;
    spec.model_dim = shape.queryHeads * shape.headDim;
    spec.ffn_dim = shape.ffnDim;
    spec.position.rope_base = 10000.0;
    spec.normalization.epsilon = 1e-5;
    spec.feed_forward = shape.feedForward;
    spec.tied_embeddings = shape.tiedEmbeddings;
    spec.ports = {{"tokens", PortDirection::Input, PortKind::TokenIds, 1, "tokens/1"},
                  {"logits", PortDirection::Output, PortKind::Logits, shape.vocabulary, "logits/1"}};
    return spec;
}

// Weights of the spec's shapes; the spec must be valid.
inline TransformerWeights tinyWeights(const TransformerSpec& spec) {
    TransformerWeights weights = zeroWeights(spec);
    double seed = 0.5;
    forEachWeightTensor(weights, [&](const WeightSlot& slot, Tensor& tensor) {
        for (std::size_t i = 0; i < tensor.values.size(); ++i) {
            const double wave = 0.3 * std::sin(0.37 * static_cast<double>(i) + seed);
            tensor.values[i] = slot.decays ? wave : 1.0 + wave;
        }
        seed += 0.7;
    });
    return weights;
}

inline TransformerTrainingConfig tinyConfig() {
    TransformerTrainingConfig config;
    config.warmup_steps = 2;
    config.decay_steps = 10;
    config.seed = 7;
    config.dataset_hash = "fuzz";
    return config;
}

}  // namespace Halcyne::Core::Vestra::Fuzzing
