// The weights a new run starts from, drawn from its seed: norms at 1, embeddings uniform in
// [-0.02, 0.02), projections uniform with the Xavier bound sqrt(6 / (in + out)), the two projections
// that write into the residual stream (attention output, feed-forward down) scaled by
// 1 / sqrt(2 * layers) so that the stream's variance does not grow with depth.
#pragma once

#include <cstdint>

#include "core/transformer_spec.h"
#include "core/transformer_weights.h"

namespace Halcyne::Core::Vestra::Cli {

[[nodiscard]] TransformerWeights initialWeights(const TransformerSpec& spec, std::uint64_t seed);

}  // namespace Halcyne::Core::Vestra::Cli
