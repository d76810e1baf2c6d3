#include "reference/cross_entropy.h"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace Halcyne::Core::Vestra {
namespace {

std::uint64_t rowLength(const TokenBatch& batch, std::uint64_t row) {
    return batch.lengths.empty() ? batch.width : batch.lengths[row];
}

bool selected(const TokenBatch& batch, std::uint64_t position) {
    return batch.lossMask.empty() || batch.lossMask[position] != 0;
}

}  // namespace

CrossEntropyResult crossEntropy(const Tensor& logits, const TokenBatch& batch,
                                const std::vector<std::uint32_t>& targets) {
    const std::uint64_t positions = batch.batch * batch.width;
    bool matches = logits.shape.size() == 3 && logits.shape[0] == batch.batch && logits.shape[1] == batch.width &&
                   targets.size() == positions && (batch.lossMask.empty() || batch.lossMask.size() == positions);
    // Lengths are not part of the logits' shape, but a length list that does not fit the batch would
    // send the walk below outside the logits; it is refused as the same mismatch.
    if (matches && !batch.lengths.empty()) {
        matches = batch.lengths.size() == batch.batch;
        for (std::uint64_t b = 0; matches && b < batch.batch; ++b) {
            matches = batch.lengths[b] <= batch.width;
        }
    }
    if (!matches) {
        throw std::invalid_argument("cross-entropy shape mismatch");
    }

    const std::uint64_t vocabulary = logits.shape[2];
    CrossEntropyResult result{0.0, Tensor(logits.shape)};
    for (std::uint64_t b = 0; b < batch.batch; ++b) {
        const std::uint64_t length = rowLength(batch, b);
        for (std::uint64_t s = 0; s < length; ++s) {
            const std::uint64_t position = b * batch.width + s;
            if (!selected(batch, position)) {
                continue;
            }
            const std::uint32_t target = targets[position];
            if (target >= vocabulary) {
                throw std::out_of_range("cross-entropy target exceeds vocabulary");
            }
            const double* row = logits.values.data() + position * vocabulary;
            double* gradient = result.logitsGradient.values.data() + position * vocabulary;
            double maximum = -std::numeric_limits<double>::infinity();
            for (std::uint64_t v = 0; v < vocabulary; ++v) {
                if (row[v] > maximum) {
                    maximum = row[v];
                }
            }
            double normalizer = 0.0;
            for (std::uint64_t v = 0; v < vocabulary; ++v) {
                normalizer += std::exp(row[v] - maximum);
            }
            result.loss += (std::log(normalizer) + maximum) - row[target];
            for (std::uint64_t v = 0; v < vocabulary; ++v) {
                gradient[v] = std::exp(row[v] - maximum) / normalizer - (v == target ? 1.0 : 0.0);
            }
        }
    }
    return result;
}

std::uint64_t countActiveTargets(const TokenBatch& batch) {
    if (!batch.lengths.empty() && batch.lengths.size() != batch.batch) {
        throw std::invalid_argument("training batch lengths mismatch");
    }
    if (!batch.lossMask.empty() && batch.lossMask.size() != batch.batch * batch.width) {
        throw std::invalid_argument("training batch loss mask mismatch");
    }
    std::uint64_t active = 0;
    for (std::uint64_t b = 0; b < batch.batch; ++b) {
        const std::uint64_t length = rowLength(batch, b);
        if (length > batch.width) {
            throw std::invalid_argument("training batch length exceeds sequence");
        }
        for (std::uint64_t s = 0; s < length; ++s) {
            if (selected(batch, b * batch.width + s)) {
                ++active;
            }
        }
    }
    if (active == 0) {
        throw std::invalid_argument("training batch contains no active loss targets");
    }
    return active;
}

}  // namespace Halcyne::Core::Vestra
