#include "reference/attention.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "driver/fixtures.h"
#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;

struct Inputs {
    std::uint64_t batch, sequence, queryHeads, kvHeads, headDim;
    Tensor query, key, value;
};

// Query and key scaled so that scores are a few units and the softmax is far from uniform.
Inputs inputs(std::uint64_t batch, std::uint64_t sequence, std::uint64_t queryHeads, std::uint64_t kvHeads,
              std::uint64_t headDim) {
    const std::uint64_t rows = batch * sequence;
    Inputs in{batch, sequence, queryHeads, kvHeads, headDim, {}, {}, {}};
    in.query = sineTensor({rows, queryHeads * headDim}, 0.4);
    in.key = sineTensor({rows, kvHeads * headDim}, 1.1);
    in.value = sineTensor({rows, kvHeads * headDim}, 2.3);
    for (Tensor* tensor : {&in.query, &in.key}) {
        for (double& x : tensor->values)
            x *= 100.0;
    }
    return in;
}

AttentionResult run(const Inputs& in, const std::vector<std::uint64_t>& lengths = {}) {
    return groupedQueryAttention(in.query, in.key, in.value, in.batch, in.sequence, in.queryHeads, in.kvHeads,
                                 in.headDim, lengths, true);
}

// Scores are scaled dot products with the KV head of the query head's group, each causal row a
// softmax, the output its weighted values, and everything above the diagonal zero. The first
// position attends only to itself: probability exactly 1, output exactly its value.
TEST(Attention, CausalGroupedRowsFollowTheDefinition) {
    const Inputs in = inputs(2, 5, 4, 2, 3);
    const AttentionResult result = run(in);
    for (std::uint64_t b = 0; b < 2; ++b) {
        for (std::uint64_t h = 0; h < 4; ++h) {
            const std::uint64_t kv = (h / 2) * 3;
            for (std::uint64_t i = 0; i < 5; ++i) {
                double total = 0.0;
                std::vector<double> output(3, 0.0);
                for (std::uint64_t j = 0; j < 5; ++j) {
                    const double p = result.probabilities.at({b, h, i, j});
                    double dot = 0.0;
                    for (std::uint64_t d = 0; d < 3; ++d) {
                        dot += in.query.at({b * 5 + i, h * 3 + d}) * in.key.at({b * 5 + j, kv + d});
                        output[d] += j <= i ? in.value.at({b * 5 + j, kv + d}) * p : 0.0;
                    }
                    EXPECT_EQ(result.scores.at({b, h, i, j}), j <= i ? dot * (1.0 / std::sqrt(3.0)) : 0.0);
                    EXPECT_EQ(p == 0.0, j > i);
                    total += p;
                }
                EXPECT_NEAR(total, 1.0, 1e-15);
                EXPECT_TRUE(i > 0 || result.probabilities.at({b, h, 0, 0}) == 1.0);
                for (std::uint64_t d = 0; d < 3; ++d) {
                    EXPECT_EQ(result.output.at({b * 5 + i, h * 3 + d}), output[d]);
                }
            }
        }
    }
    // The output alone, with the rows' scores and probabilities in scratch rather than in matrices.
    EXPECT_EQ(groupedQueryAttentionOutput(in.query, in.key, in.value, 2, 5, 4, 2, 3, {5, 3}, true).values,
              run(in, {5, 3}).output.values);
}

TEST(Attention, RefusesHeadsLengthsShapesAndOverflow) {
    const Inputs in = inputs(2, 3, 2, 1, 2);
    const auto refused = [](const Tensor& q, const Tensor& k, const Tensor& v, std::uint64_t queryHeads,
                            std::uint64_t kvHeads, const std::vector<std::uint64_t>& lengths, const char* message) {
        expectThrowWithMessage<std::invalid_argument>(
            [&] { (void)groupedQueryAttention(q, k, v, 2, 3, queryHeads, kvHeads, 2, lengths, true); }, message);
    };
    const char* heads = "GQA query heads must be divisible by KV heads";
    refused(in.query, in.key, in.value, 0, 1, {}, heads);
    refused(in.query, in.key, in.value, 2, 0, {}, heads);
    refused(in.query, in.key, in.value, 3, 2, {}, heads);
    refused(in.query, in.key, in.value, 2, 1, {3}, "attention lengths do not match batch");
    refused(in.query, in.key, in.value, 2, 1, {3, 4}, "attention length exceeds sequence");
    refused(in.key, in.key, in.value, 2, 1, {}, "attention query has an invalid shape");
    refused(in.query, in.query, in.value, 2, 1, {}, "attention key has an invalid shape");
    refused(in.query, in.key, in.query, 2, 1, {}, "attention value has an invalid shape");

    Inputs large = in;
    large.query.values[0] = large.key.values[0] = 1e300;
    expectThrowWithMessage<std::domain_error>([&] { (void)run(large); }, "transformer operator produced NaN/Inf");
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
