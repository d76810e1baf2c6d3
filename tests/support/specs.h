// Specifications shared by the test suites.
#pragma once

#include "core/transformer_spec.h"

namespace Halcyne::Core::Vestra::Testing {

// The small model every worked example uses: vocabulary 258, context 64, one layer, width 8,
// ffn 16, two query heads over one KV head of width 4, SwiGLU, tied embeddings.
inline TransformerSpec smallSpec() {
    TransformerSpec spec;
    spec.vocabulary = 258;
    spec.context = 64;
    spec.layers = 1;
    spec.model_dim = 8;
    spec.ffn_dim = 16;
    spec.query_heads = 2;
    spec.kv_heads = 1;
    spec.head_dim = 4;
    spec.position = {PositionKind::Rope, 10000.0};
    spec.normalization = {NormalizationKind::RmsNorm, 1e-5};
    spec.feed_forward = FeedForwardKind::SwiGlu;
    spec.tied_embeddings = true;
    spec.ports = {
        {"tokens", PortDirection::Input, PortKind::TokenIds, 1, "tokens/1"},
        {"logits", PortDirection::Output, PortKind::Logits, 258, "logits/1"},
    };
    return spec;
}

}  // namespace Halcyne::Core::Vestra::Testing
