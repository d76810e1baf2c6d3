// Cross-entropy over the active positions of a batch (below the row's length and selected by the
// loss mask). The loss is a sum, not a mean; the trainer scales the gradient by one over
// countActiveTargets to get the gradient of the mean.
#pragma once

#include <cstdint>
#include <vector>

#include "core/tensor.h"
#include "reference/token_batch.h"

namespace Halcyne::Core::Vestra {

struct CrossEntropyResult {
    double loss = 0.0;      // summed over active positions
    Tensor logitsGradient;  // the logits' shape; rows of inactive positions are 0
};

// logits [batch, width, vocabulary]; targets batch*width ids indexed like the tokens. Of the batch
// only batch, width, lengths and lossMask are read. Targets of inactive positions are not read.
[[nodiscard]] CrossEntropyResult crossEntropy(const Tensor& logits, const TokenBatch& batch,
                                              const std::vector<std::uint32_t>& targets);

// Validates a training batch (lengths, loss mask, row lengths) and returns its number of active
// positions; throws std::invalid_argument when there is none.
[[nodiscard]] std::uint64_t countActiveTargets(const TokenBatch& batch);

}  // namespace Halcyne::Core::Vestra
