// A training text as byte tokens: the head for training, the tail held out for validation, and
// the windows cut from them. A window is `context` input tokens and their `context` successors as
// targets, so a part needs context + 1 tokens to hold one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "reference/token_batch.h"

namespace Halcyne::Core::Vestra::Cli {

struct TextCorpus {
    std::vector<std::uint32_t> training;
    std::vector<std::uint32_t> validation;  // empty when nothing is held out
};

// The bytes of a text file; std::runtime_error "cannot read <file>" or "<file> is empty".
[[nodiscard]] std::string readText(const std::filesystem::path& file);

// 16 lowercase hex digits of the text's hash: the run's dataset identity.
[[nodiscard]] std::string textFingerprint(const std::string& text);

// Byte tokens split at floor(size * (1 - holdout)). std::invalid_argument when the training part,
// or a held-out part that is not empty, is shorter than one window.
[[nodiscard]] TextCorpus splitText(const std::string& text, double holdout, std::uint32_t context);

// A batch of training windows and their targets.
struct Batch {
    TokenBatch tokens;
    std::vector<std::uint32_t> targets;
};

// The number of distinct windows a part holds (start positions), at least 1 for a part of context + 1
// tokens or more.
[[nodiscard]] std::uint64_t windowCount(std::span<const std::uint32_t> tokens, std::uint32_t context);

// The windows that start at the given positions, one row each.
[[nodiscard]] Batch windowBatch(std::span<const std::uint32_t> tokens, std::span<const std::uint64_t> starts,
                                std::uint32_t context);

// Consecutive windows that predict every token of a text after its first exactly once: rows start
// every `context` tokens, and the last row is cut to the tokens left (its length). At most `rows`
// rows per batch, and no more than `limit` predicted tokens in all (0: no limit).
[[nodiscard]] std::vector<Batch> evaluationBatches(std::span<const std::uint32_t> tokens, std::uint32_t context,
                                                   std::uint32_t rows, std::uint64_t limit = 0);

// Predicted tokens of a batch: the sum of its row lengths.
[[nodiscard]] std::uint64_t predictedTokens(const Batch& batch);

}  // namespace Halcyne::Core::Vestra::Cli
