// Weights for the small specifications of spec_shape.h, the cases the fixture's one shape does not
// cover (grouped-query attention with several KV heads, GELU, untied embeddings, more layers).
#pragma once

#include "core/transformer_spec.h"
#include "driver/fixtures.h"
#include "support/spec_shape.h"

namespace Halcyne::Core::Vestra::Testing {

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

}  // namespace Halcyne::Core::Vestra::Testing
