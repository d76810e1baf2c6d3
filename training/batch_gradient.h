// The gradient of one batch's mean loss over its active targets, with its summed loss: what the CPU
// trainer adds per accumulate. The tape of a batch holds a few nodes per multiply-add of the model
// for every position of every row (gigabytes for sixteen windows of the default shape), so a batch
// whose tape would pass a budget is recorded a few rows at a time, one part's tape alive at once.
// The parts are swept from the last to the first, each continuing the sums the one after it left,
// so that gradient and loss are those of one tape of the whole batch, bit for bit.
#pragma once

#include <cstdint>
#include <vector>

#include "core/transformer_spec.h"
#include "core/transformer_weights.h"
#include "reference/token_batch.h"

namespace Halcyne::Core::Vestra {

// Tape bytes (nodes and their adjoints) a part may take; a part is one row at least.
inline constexpr std::uint64_t kBatchTapeBytes = std::uint64_t{256} << 20;

struct BatchGradient {
    double loss = 0.0;             // summed over the active targets
    TransformerWeights gradients;  // of the mean over the active targets; weight-shaped
};

// batch is the trainer's prepared batch (its ignore token applied). Throws the messages of the
// forward, the tape and cross-entropy, then std::domain_error "non-finite training loss".
[[nodiscard]] BatchGradient batchGradient(const TransformerSpec& spec, const TransformerWeights& weights,
                                          const TokenBatch& batch, const std::vector<std::uint32_t>& targets,
                                          std::uint64_t tapeBytes = kBatchTapeBytes);

// Rows of `width` positions per part under the budget: at least 1.
[[nodiscard]] std::uint64_t tapeRowsPerPart(const TransformerSpec& spec, std::uint64_t width,
                                            std::uint64_t tapeBytes = kBatchTapeBytes);

// The tape bytes batchGradient holds at once for a batch of `rows` full rows of `width` positions.
[[nodiscard]] std::uint64_t batchTapeBytes(const TransformerSpec& spec, std::uint64_t rows, std::uint64_t width,
                                           std::uint64_t tapeBytes = kBatchTapeBytes);

}  // namespace Halcyne::Core::Vestra
