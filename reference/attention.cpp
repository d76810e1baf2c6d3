#include "reference/attention.h"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "reference/operator_value.h"

namespace Halcyne::Core::Vestra {

AttentionResult groupedQueryAttention(const Tensor& query, const Tensor& key, const Tensor& value, std::uint64_t batch,
                                      std::uint64_t sequence, std::uint64_t queryHeads, std::uint64_t kvHeads,
                                      std::uint64_t headDim, const std::vector<std::uint64_t>& lengths,
                                      bool doublePrecision) {
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

    AttentionResult result{
        Tensor(Extents{batch, queryHeads, sequence, sequence}, 0.0, doublePrecision),
        Tensor(Extents{batch, queryHeads, sequence, sequence}, 0.0, doublePrecision),
        Tensor(Extents{rows, queryHeads * headDim}, 0.0, doublePrecision),
    };
    Tensor& scores = result.scores;
    Tensor& probabilities = result.probabilities;
    Tensor& output = result.output;

    const double scale = 1.0 / std::sqrt(static_cast<double>(headDim));
    const std::uint64_t group = queryHeads / kvHeads;
    for (std::uint64_t b = 0; b < batch; ++b) {
        const std::uint64_t length = lengths.empty() ? sequence : lengths[b];
        if (length > sequence) {
            throw std::invalid_argument("attention length exceeds sequence");
        }
        for (std::uint64_t h = 0; h < queryHeads; ++h) {
            const std::uint64_t kv = h / group;
            for (std::uint64_t i = 0; i < length; ++i) {
                const std::uint64_t queryRow = b * sequence + i;
                double maximum = -std::numeric_limits<double>::infinity();
                for (std::uint64_t j = 0; j <= i; ++j) {
                    double dot = 0.0;
                    for (std::uint64_t d = 0; d < headDim; ++d) {
                        dot += query.at({queryRow, h * headDim + d}) * key.at({b * sequence + j, kv * headDim + d});
                    }
                    const double score = checkOperatorValue(dot * scale, doublePrecision);
                    scores.at({b, h, i, j}) = score;
                    if (score > maximum) {
                        maximum = score;
                    }
                }
                double normalizer = 0.0;
                for (std::uint64_t j = 0; j <= i; ++j) {
                    normalizer += std::exp(scores.at({b, h, i, j}) - maximum);
                }
                for (std::uint64_t j = 0; j <= i; ++j) {
                    const double p =
                        checkOperatorValue(std::exp(scores.at({b, h, i, j}) - maximum) / normalizer, doublePrecision);
                    probabilities.at({b, h, i, j}) = p;
                    for (std::uint64_t d = 0; d < headDim; ++d) {
                        output.at({queryRow, h * headDim + d}) += value.at({b * sequence + j, kv * headDim + d}) * p;
                    }
                }
                for (std::uint64_t d = 0; d < headDim; ++d) {
                    double& element = output.at({queryRow, h * headDim + d});
                    element = checkOperatorValue(element, doublePrecision);
                }
            }
        }
    }
    return result;
}

}  // namespace Halcyne::Core::Vestra
