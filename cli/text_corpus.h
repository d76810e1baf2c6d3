// A training text as byte tokens: the head for training, the tail held out for validation, and
// the windows cut from them. A window is `context` input tokens and their `context` successors as
// targets, so a part needs context + 1 tokens to hold one. Every byte is its own token, so the parts
// are views of the text's bytes (mapped, not copied) and only the windows of one batch are ever
// held as token ids.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/mapped_file.h"
#include "reference/token_batch.h"

namespace Halcyne::Core::Vestra::Cli {

// Views of the text they were split from, which must outlive them.
struct TextCorpus {
    std::span<const std::uint8_t> training;
    std::span<const std::uint8_t> validation;  // empty when nothing is held out
};

// The bytes of a text file, mapped; std::runtime_error "cannot read <file>" or "<file> is empty".
[[nodiscard]] MappedFile readText(const std::filesystem::path& file);

// 16 lowercase hex digits of the text's hash: the run's dataset identity.
[[nodiscard]] std::string textFingerprint(std::string_view text);

// Byte tokens split at floor(size * (1 - holdout)). std::invalid_argument when the training part,
// or a held-out part that is not empty, is shorter than one window.
[[nodiscard]] TextCorpus splitText(std::string_view text, double holdout, std::uint32_t context);

// A batch of training windows and their targets.
struct Batch {
    TokenBatch tokens;
    std::vector<std::uint32_t> targets;
};

// The number of distinct windows a part holds (start positions), at least 1 for a part of context + 1
// tokens or more.
[[nodiscard]] std::uint64_t windowCount(std::span<const std::uint8_t> tokens, std::uint32_t context);

// The windows that start at the given positions, one row each.
[[nodiscard]] Batch windowBatch(std::span<const std::uint8_t> tokens, std::span<const std::uint64_t> starts,
                                std::uint32_t context);

// Consecutive windows that predict every token of a text after its first exactly once: rows start
// every `context` tokens, and the last row is cut to the tokens left (its length). At most `rows`
// rows per batch, and no more than `limit` predicted tokens in all (0: no limit). Each batch is cut
// when it is asked for, so that a whole text is never held as token ids.
class EvaluationBatches {
  public:
    EvaluationBatches() = default;
    EvaluationBatches(std::span<const std::uint8_t> tokens, std::uint32_t context, std::uint32_t rows,
                      std::uint64_t limit = 0);

    [[nodiscard]] std::size_t size() const noexcept { return batches_; }
    [[nodiscard]] bool empty() const noexcept { return batches_ == 0; }
    [[nodiscard]] Batch operator[](std::size_t index) const;
    // The tokens all the batches predict: the windows follow one another from the text's start.
    [[nodiscard]] std::uint64_t predictedTokens() const noexcept {
        return windows_ == 0 ? 0 : std::min<std::uint64_t>(tokens_.size() - 1, windows_ * context_);
    }

  private:
    std::span<const std::uint8_t> tokens_;
    std::uint32_t context_ = 1;
    std::uint32_t rows_ = 1;
    std::uint64_t windows_ = 0;  // rows in all
    std::size_t batches_ = 0;
};

// Predicted tokens of a batch: the sum of its row lengths.
[[nodiscard]] std::uint64_t predictedTokens(const Batch& batch);

}  // namespace Halcyne::Core::Vestra::Cli
