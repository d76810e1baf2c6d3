#include "cli/text_corpus.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "artifacts/byte_tokenizer.h"
#include "cli/file_io.h"
#include "core/hash.h"

namespace Halcyne::Core::Vestra::Cli {

std::string readText(const std::filesystem::path& file) {
    std::string text = readFile(file);
    if (text.empty()) {
        throw std::runtime_error(displayPath(file) + " is empty");
    }
    return text;
}

std::string textFingerprint(const std::string& text) {
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(vestraFnv1a64(text)));
    return digits;
}

TextCorpus splitText(const std::string& text, double holdout, std::uint32_t context) {
    // Explicit policy: every byte becomes its own token, whatever the encoding of the text.
    const std::vector<std::uint32_t> ids = ByteTokenizer().encode(text, {}).ids;
    const auto cut = static_cast<std::size_t>(std::floor(static_cast<double>(ids.size()) * (1.0 - holdout)));
    TextCorpus corpus;
    corpus.training.assign(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(cut));
    corpus.validation.assign(ids.begin() + static_cast<std::ptrdiff_t>(cut), ids.end());
    const std::size_t window = std::size_t{context} + 1;
    if (corpus.training.size() < window || (!corpus.validation.empty() && corpus.validation.size() < window)) {
        throw std::invalid_argument("too short: " + std::to_string(ids.size()) + " bytes, and a window of " +
                                    std::to_string(window) +
                                    " bytes must fit in its training part and in its held-out tail");
    }
    return corpus;
}

std::uint64_t windowCount(std::span<const std::uint32_t> tokens, std::uint32_t context) {
    return tokens.size() > context ? tokens.size() - context : 0;
}

Batch windowBatch(std::span<const std::uint32_t> tokens, std::span<const std::uint64_t> starts, std::uint32_t context) {
    Batch batch;
    batch.tokens.batch = starts.size();
    batch.tokens.width = context;
    for (const std::uint64_t start : starts) {
        const auto row = tokens.subspan(start, std::size_t{context} + 1);
        batch.tokens.tokens.insert(batch.tokens.tokens.end(), row.begin(), row.end() - 1);
        batch.targets.insert(batch.targets.end(), row.begin() + 1, row.end());
    }
    return batch;
}

std::vector<Batch> evaluationBatches(std::span<const std::uint32_t> tokens, std::uint32_t context, std::uint32_t rows,
                                     std::uint64_t limit) {
    std::vector<Batch> batches;
    std::uint64_t predicted = 0;
    for (std::size_t start = 0; start + 1 < tokens.size() && (limit == 0 || predicted < limit); start += context) {
        if (batches.empty() || batches.back().tokens.batch == rows) {
            batches.emplace_back();
            batches.back().tokens.width = context;
        }
        Batch& batch = batches.back();
        const std::size_t length = std::min<std::size_t>(context, tokens.size() - 1 - start);
        // Padding positions hold token 0 and target 0: never looked up, never scored.
        for (std::size_t s = 0; s < context; ++s) {
            batch.tokens.tokens.push_back(s < length ? tokens[start + s] : 0);
            batch.targets.push_back(s < length ? tokens[start + s + 1] : 0);
        }
        batch.tokens.lengths.push_back(length);
        ++batch.tokens.batch;
        predicted += length;
    }
    return batches;
}

std::uint64_t predictedTokens(const Batch& batch) {
    std::uint64_t total = 0;
    for (const std::uint64_t length : batch.tokens.lengths) {
        total += length;
    }
    return total;
}

}  // namespace Halcyne::Core::Vestra::Cli
