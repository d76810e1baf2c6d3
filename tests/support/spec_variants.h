// Small specifications derived from the fixture spec, for the cases its one shape does not cover
// (grouped-query attention with several KV heads, GELU, untied embeddings, more layers).
#pragma once

#include <cstdint>

#include "core/transformer_spec.h"
#include "driver/fixtures.h"

namespace Halcyne::Core::Vestra::Testing {

struct SpecShape {
    std::uint32_t vocabulary = 11;
    std::uint32_t context = 8;
    std::uint32_t layers = 2;
    std::uint32_t queryHeads = 4;
    std::uint32_t kvHeads = 2;
    std::uint32_t headDim = 2;
    std::uint32_t ffnDim = 6;
    FeedForwardKind feedForward = FeedForwardKind::SwiGlu;
    bool tiedEmbeddings = false;
};

inline TransformerSpec variantSpec(const SpecShape& shape) {
    TransformerSpec spec = fixtureSpec();
    spec.vocabulary = shape.vocabulary;
    spec.context = shape.context;
    spec.layers = shape.layers;
    spec.query_heads = shape.queryHeads;
    spec.kv_heads = shape.kvHeads;
    spec.head_dim = shape.headDim;
    spec.model_dim = shape.queryHeads * shape.headDim;
    spec.ffn_dim = shape.ffnDim;
    spec.feed_forward = shape.feedForward;
    spec.tied_embeddings = shape.tiedEmbeddings;
    spec.ports[1].width = shape.vocabulary;
    return spec;
}

// randomWeights with every tensor moved off its seeded values by a small sine, so that norms are
// not all 1.0 and embeddings are large enough to give the attention scores some spread.
inline TransformerWeights variantWeights(const TransformerSpec& spec) {
    TransformerWeights weights = randomWeights(spec);
    double seed = 0.5;
    forEachWeightTensor(weights, [&](const WeightSlot&, Tensor& tensor) {
        const Tensor offsets = sineTensor(tensor.shape, seed);
        for (std::size_t i = 0; i < tensor.values.size(); ++i) {
            tensor.values[i] += 10.0 * offsets.values[i];
        }
        seed += 0.7;
    });
    return weights;
}

// The smallest shape the fuzz targets read and train: vocabulary 6, context 4, one layer of two
// query heads of width 2 over one KV head.
inline TransformerSpec tinyVariantSpec(FeedForwardKind feedForward, bool tiedEmbeddings) {
    return variantSpec({.vocabulary = 6,
                        .context = 4,
                        .layers = 1,
                        .queryHeads = 2,
                        .kvHeads = 1,
                        .headDim = 2,
                        .ffnDim = 4,
                        .feedForward = feedForward,
                        .tiedEmbeddings = tiedEmbeddings});
}

}  // namespace Halcyne::Core::Vestra::Testing
