// The whole-model device backward at the community shape, timed: one full row of its 64-token
// context.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

#include "core/transformer_spec.h"
#include "core/transformer_weights.h"
#include "cuda/transformer_cuda_context.h"
#include "reference/token_batch.h"

namespace Halcyne::Core::Vestra {

struct ModelBackwardProblem {
    TransformerSpec spec;
    TransformerWeights weights;
    TokenBatch batch;
    std::vector<std::uint32_t> targets;
};

// communitySpec with randomWeights; one row of tokens 0 to 63, target (i + 1) mod 200 at position i.
[[nodiscard]] ModelBackwardProblem modelBackwardProblemAtCommunityShape();

// Writes " model64_ms=" and the whole milliseconds of one device model backward to `out`.
void verifyModelBackwardAtCommunityShape(const TransformerCudaContext& context, std::ostream& out);

}  // namespace Halcyne::Core::Vestra
