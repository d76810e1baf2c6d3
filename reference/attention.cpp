#include "reference/attention.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "reference/operator_value.h"

namespace Halcyne::Core::Vestra {

namespace {

// The attention; with KeepMatrices false the scores and probabilities of each row live in scratch
// rows and the result holds the output alone, computed the same way.
template <bool KeepMatrices>
AttentionResult attend(const Tensor& query, const Tensor& key, const Tensor& value, std::uint64_t batch,
                       std::uint64_t sequence, std::uint64_t queryHeads, std::uint64_t kvHeads, std::uint64_t headDim,
                       const std::vector<std::uint64_t>& lengths, bool doublePrecision) {
    if (queryHeads == 0 || kvHeads == 0 || queryHeads % kvHeads != 0) {
        throw std::invalid_argument("GQA query heads must be divisible by KV heads");
    }
    if (!lengths.empty() && lengths.size() != batch) {
        throw std::invalid_argument("attention lengths do not match batch");
    }
    const std::uint64_t rows = batch * sequence;
    requireShape(query, {rows, queryHeads * headDim}, "attention query");
    requireShape(key, {rows, kvHeads * headDim}, "attention key");
    requireShape(value, {rows, kvHeads * headDim}, "attention value");

    const Extents matrices{batch, queryHeads, sequence, sequence};
    AttentionResult result{
        KeepMatrices ? Tensor(matrices, 0.0, doublePrecision) : Tensor(),
        KeepMatrices ? Tensor(matrices, 0.0, doublePrecision) : Tensor(),
        Tensor(Extents{rows, queryHeads * headDim}, 0.0, doublePrecision),
    };
    std::vector<double> scratch(KeepMatrices ? 0 : 2 * sequence);
    Tensor& scores = result.scores;
    Tensor& probabilities = result.probabilities;
    Tensor& output = result.output;

    const double scale = 1.0 / std::sqrt(static_cast<double>(headDim));
    const std::uint64_t group = queryHeads / kvHeads;
    const std::uint64_t queryStride = queryHeads * headDim;
    const std::uint64_t kvStride = kvHeads * headDim;
    for (std::uint64_t b = 0; b < batch; ++b) {
        const std::uint64_t length = lengths.empty() ? sequence : lengths[b];
        if (length > sequence) {
            throw std::invalid_argument("attention length exceeds sequence");
        }
        const double* keys = key.values.data() + b * sequence * kvStride;
        const double* values = value.values.data() + b * sequence * kvStride;
        for (std::uint64_t h = 0; h < queryHeads; ++h) {
            const std::uint64_t kvOffset = h / group * headDim;
            for (std::uint64_t i = 0; i < length; ++i) {
                const std::uint64_t rowOffset = (b * sequence + i) * queryStride + h * headDim;
                const double* queryRow = query.values.data() + rowOffset;
                double* out = output.values.data() + rowOffset;
                const std::uint64_t matrixRow = ((b * queryHeads + h) * sequence + i) * sequence;
                double* scoreRow = KeepMatrices ? scores.values.data() + matrixRow : scratch.data();
                double* probabilityRow =
                    KeepMatrices ? probabilities.values.data() + matrixRow : scratch.data() + sequence;
                double maximum = -std::numeric_limits<double>::infinity();
                for (std::uint64_t j = 0; j <= i; ++j) {
                    const double* keyRow = keys + j * kvStride + kvOffset;
                    double dot = 0.0;
                    for (std::uint64_t d = 0; d < headDim; ++d) {
                        dot += queryRow[d] * keyRow[d];
                    }
                    const double score = checkOperatorValue(dot * scale, doublePrecision);
                    scoreRow[j] = score;
                    if (score > maximum) {
                        maximum = score;
                    }
                }
                // The exponentials wait in the probability row until the normalizer is complete.
                double normalizer = 0.0;
                for (std::uint64_t j = 0; j <= i; ++j) {
                    probabilityRow[j] = std::exp(scoreRow[j] - maximum);
                    normalizer += probabilityRow[j];
                }
                for (std::uint64_t j = 0; j <= i; ++j) {
                    const double p = checkOperatorValue(probabilityRow[j] / normalizer, doublePrecision);
                    probabilityRow[j] = p;
                    const double* valueRow = values + j * kvStride + kvOffset;
                    for (std::uint64_t d = 0; d < headDim; ++d) {
                        out[d] += valueRow[d] * p;
                    }
                }
                for (std::uint64_t d = 0; d < headDim; ++d) {
                    out[d] = checkOperatorValue(out[d], doublePrecision);
                }
            }
        }
    }
    return result;
}

}  // namespace

AttentionResult groupedQueryAttention(const Tensor& query, const Tensor& key, const Tensor& value, std::uint64_t batch,
                                      std::uint64_t sequence, std::uint64_t queryHeads, std::uint64_t kvHeads,
                                      std::uint64_t headDim, const std::vector<std::uint64_t>& lengths,
                                      bool doublePrecision) {
    return attend<true>(query, key, value, batch, sequence, queryHeads, kvHeads, headDim, lengths, doublePrecision);
}

Tensor groupedQueryAttentionOutput(const Tensor& query, const Tensor& key, const Tensor& value, std::uint64_t batch,
                                   std::uint64_t sequence, std::uint64_t queryHeads, std::uint64_t kvHeads,
                                   std::uint64_t headDim, const std::vector<std::uint64_t>& lengths,
                                   bool doublePrecision) {
    return attend<false>(query, key, value, batch, sequence, queryHeads, kvHeads, headDim, lengths, doublePrecision)
        .output;
}

}  // namespace Halcyne::Core::Vestra
