// One training batch on the device: the forward with a per-layer tape, the masked cross-entropy of
// the mean over active targets, the backward over the tape, and every weight gradient added into
// the resident gradients. Only the batch goes up and only the summed loss comes down.
#pragma once

#include <cstdint>
#include <vector>

#include "core/transformer_spec.h"
#include "cuda/trainer/resident_state.h"
#include "reference/token_batch.h"

namespace Halcyne::Core::Vestra {

// The number of positions that carry a loss: below their row's length and not masked out. The
// batch must have passed the accumulation checks.
[[nodiscard]] std::uint64_t countResidentActiveTargets(const TokenBatch& batch);

// Returns the batch's summed loss. Refusals (std::invalid_argument, before any device work, in this
// order): "resident training batch mismatch", "resident training lengths mismatch", "resident
// training loss mask mismatch", "resident training length exceeds sequence", "resident training
// batch contains no active loss targets", then "resident training token exceeds vocabulary" and
// "resident training target exceeds vocabulary" (every position, padding included, as evaluation
// checks them), since an id beyond the tables would make the kernels read outside them. A device
// failure once the backward has begun leaves the gradients of the parameters already reached
// increased.
[[nodiscard]] double residentAccumulate(ResidentState& state, const TransformerSpec& spec,
                                        const ResidentParameterIndices& indices, const TokenBatch& batch,
                                        const std::vector<std::uint32_t>& targets);

}  // namespace Halcyne::Core::Vestra
