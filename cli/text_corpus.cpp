#include "cli/text_corpus.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "cli/file_io.h"
#include "core/hash.h"

namespace Halcyne::Core::Vestra::Cli {

MappedFile readText(const std::filesystem::path& file) {
    MappedFile text = MappedFile::open(file);
    if (text.bytes().empty()) {
        throw std::runtime_error(displayPath(file) + " is empty");
    }
    return text;
}

std::string textFingerprint(std::string_view text) {
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(vestraFnv1a64(text)));
    return digits;
}

TextCorpus splitText(std::string_view text, double holdout, std::uint32_t context) {
    // Explicit policy: every byte becomes its own token, whatever the encoding of the text.
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    const auto cut = static_cast<std::size_t>(std::floor(static_cast<double>(bytes.size()) * (1.0 - holdout)));
    const TextCorpus corpus{bytes.first(cut), bytes.subspan(cut)};
    const std::size_t window = std::size_t{context} + 1;
    if (corpus.training.size() < window || (!corpus.validation.empty() && corpus.validation.size() < window)) {
        throw std::invalid_argument("too short: " + std::to_string(bytes.size()) + " bytes, and a window of " +
                                    std::to_string(window) +
                                    " bytes must fit in its training part and in its held-out tail");
    }
    return corpus;
}

std::uint64_t windowCount(std::span<const std::uint8_t> tokens, std::uint32_t context) {
    return tokens.size() > context ? tokens.size() - context : 0;
}

Batch windowBatch(std::span<const std::uint8_t> tokens, std::span<const std::uint64_t> starts, std::uint32_t context) {
    Batch batch;
    batch.tokens.batch = starts.size();
    batch.tokens.width = context;
    batch.tokens.tokens.reserve(starts.size() * context);
    batch.targets.reserve(starts.size() * context);
    for (const std::uint64_t start : starts) {
        const auto row = tokens.subspan(start, std::size_t{context} + 1);
        batch.tokens.tokens.insert(batch.tokens.tokens.end(), row.begin(), row.end() - 1);
        batch.targets.insert(batch.targets.end(), row.begin() + 1, row.end());
    }
    return batch;
}

EvaluationBatches::EvaluationBatches(std::span<const std::uint8_t> tokens, std::uint32_t context, std::uint32_t rows,
                                     std::uint64_t limit)
    : tokens_(tokens), context_(context), rows_(rows) {
    // Rows start every `context` tokens while a token is left to predict; with a limit, whole rows
    // until it is reached (every row but the text's last predicts `context` tokens).
    windows_ = tokens.size() < 2 ? 0 : (tokens.size() - 2) / context + 1;
    if (limit != 0) {
        windows_ = std::min<std::uint64_t>(windows_, (limit + context - 1) / context);
    }
    batches_ = static_cast<std::size_t>((windows_ + rows - 1) / rows);
}

Batch EvaluationBatches::operator[](std::size_t index) const {
    Batch batch;
    batch.tokens.width = context_;
    const std::uint64_t first = std::uint64_t{index} * rows_;
    const std::uint64_t count = std::min<std::uint64_t>(rows_, windows_ - first);
    batch.tokens.tokens.reserve(count * context_);
    batch.targets.reserve(count * context_);
    for (std::uint64_t w = first; w < first + count; ++w) {
        const std::size_t start = w * context_;
        const std::size_t length = std::min<std::size_t>(context_, tokens_.size() - 1 - start);
        // Padding positions hold token 0 and target 0: never looked up, never scored.
        for (std::size_t s = 0; s < context_; ++s) {
            batch.tokens.tokens.push_back(s < length ? tokens_[start + s] : 0);
            batch.targets.push_back(s < length ? tokens_[start + s + 1] : 0);
        }
        batch.tokens.lengths.push_back(length);
        ++batch.tokens.batch;
    }
    return batch;
}

std::uint64_t predictedTokens(const Batch& batch) {
    std::uint64_t total = 0;
    for (const std::uint64_t length : batch.tokens.lengths) {
        total += length;
    }
    return total;
}

}  // namespace Halcyne::Core::Vestra::Cli
