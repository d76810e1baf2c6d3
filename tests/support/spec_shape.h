// A specification from the shape a test varies (dimensions, feed-forward kind, tied embeddings);
// the rest as in the fixture: RoPE base 10000, RMSNorm epsilon 1e-5, ports "tokens" and "logits".
// It needs the host library alone, so the fuzz targets share it.
#pragma once

#include <cstdint>

#include "core/transformer_spec.h"

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

}  // namespace Halcyne::Core::Vestra::Testing
