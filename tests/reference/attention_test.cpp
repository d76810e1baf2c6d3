#include "reference/attention.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <tuple>

#include "driver/fixtures.h"
#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;

struct Inputs {
    std::uint64_t batch, sequence, queryHeads, kvHeads, headDim;
    Tensor query, key, value;
};

Inputs inputs(std::uint64_t batch, std::uint64_t sequence, std::uint64_t queryHeads, std::uint64_t kvHeads,
              std::uint64_t headDim) {
    const std::uint64_t rows = batch * sequence;
    Inputs in{batch,
              sequence,
              queryHeads,
              kvHeads,
              headDim,
              sineTensor({rows, queryHeads * headDim}, 0.4),
              sineTensor({rows, kvHeads * headDim}, 1.1),
              sineTensor({rows, kvHeads * headDim}, 2.3)};
    // Scores of a few units, so that the softmax is far from uniform.
    for (double& q : in.query.values) {
        q *= 100.0;
    }
    for (double& k : in.key.values) {
        k *= 100.0;
    }
    return in;
}

AttentionResult run(const Inputs& in, const std::vector<std::uint64_t>& lengths) {
    return groupedQueryAttention(in.query, in.key, in.value, in.batch, in.sequence, in.queryHeads, in.kvHeads,
                                 in.headDim, lengths, true);
}

TEST(Attention, FirstPositionAttendsOnlyToItself) {
    const Inputs in = inputs(2, 4, 4, 2, 3);
    const AttentionResult result = run(in, {});
    for (std::uint64_t b = 0; b < in.batch; ++b) {
        for (std::uint64_t h = 0; h < in.queryHeads; ++h) {
            EXPECT_EQ(result.probabilities.at({b, h, 0, 0}), 1.0);
            for (std::uint64_t d = 0; d < in.headDim; ++d) {
                EXPECT_EQ(result.output.at({b * in.sequence, h * in.headDim + d}),
                          in.value.at({b * in.sequence, (h / 2) * in.headDim + d}));
            }
        }
    }
}

TEST(Attention, CausalRowsAreSoftmaxesOfScaledDotsAndTheRestIsZero) {
    const Inputs in = inputs(1, 5, 2, 1, 4);
    const AttentionResult result = run(in, {});
    const double scale = 1.0 / std::sqrt(4.0);
    for (std::uint64_t h = 0; h < 2; ++h) {
        for (std::uint64_t i = 0; i < 5; ++i) {
            double total = 0.0;
            for (std::uint64_t j = 0; j < 5; ++j) {
                if (j > i) {
                    EXPECT_EQ(result.scores.at({0, h, i, j}), 0.0);
                    EXPECT_EQ(result.probabilities.at({0, h, i, j}), 0.0);
                    continue;
                }
                double dot = 0.0;
                for (std::uint64_t d = 0; d < 4; ++d) {
                    dot += in.query.at({i, h * 4 + d}) * in.key.at({j, d});
                }
                EXPECT_EQ(result.scores.at({0, h, i, j}), dot * scale);
                total += result.probabilities.at({0, h, i, j});
            }
            EXPECT_NEAR(total, 1.0, 1e-15);
            for (std::uint64_t d = 0; d < 4; ++d) {
                double expected = 0.0;
                for (std::uint64_t j = 0; j <= i; ++j) {
                    expected += in.value.at({j, d}) * result.probabilities.at({0, h, i, j});
                }
                EXPECT_EQ(result.output.at({i, h * 4 + d}), expected);
            }
        }
    }
}

TEST(Attention, ConsecutiveQueryHeadsShareOneKvHead) {
    for (const auto& [queryHeads, kvHeads] : {std::tuple<std::uint64_t, std::uint64_t>{2, 1}, {4, 2}, {6, 3}, {3, 3}}) {
        Inputs in = inputs(1, 3, queryHeads, kvHeads, 2);
        // Every value of KV head k is k + 1, so a head's output shows which KV head it read.
        for (std::uint64_t r = 0; r < 3; ++r) {
            for (std::uint64_t c = 0; c < kvHeads * 2; ++c) {
                in.value.at({r, c}) = static_cast<double>(c / 2 + 1);
            }
        }
        const AttentionResult result = run(in, {});
        const std::uint64_t group = queryHeads / kvHeads;
        for (std::uint64_t h = 0; h < queryHeads; ++h) {
            EXPECT_NEAR(result.output.at({2, h * 2 + 1}), static_cast<double>(h / group + 1), 1e-14)
                << queryHeads << "/" << kvHeads << " head " << h;
        }
    }
}

TEST(Attention, RowsAtOrBeyondTheirLengthStayZero) {
    const Inputs in = inputs(3, 4, 2, 1, 2);
    const AttentionResult full = run(in, {});
    const AttentionResult result = run(in, {4, 0, 2});
    for (std::uint64_t b = 0; b < 3; ++b) {
        const std::uint64_t length = b == 0 ? 4 : (b == 1 ? 0 : 2);
        for (std::uint64_t i = 0; i < 4; ++i) {
            for (std::uint64_t h = 0; h < 2; ++h) {
                for (std::uint64_t j = 0; j < 4; ++j) {
                    // Rows inside the length do not depend on later positions, so they match the
                    // unpadded computation exactly.
                    const double expected = i < length ? full.probabilities.at({b, h, i, j}) : 0.0;
                    EXPECT_EQ(result.probabilities.at({b, h, i, j}), expected);
                    EXPECT_EQ(result.scores.at({b, h, i, j}), i < length ? full.scores.at({b, h, i, j}) : 0.0);
                }
                for (std::uint64_t d = 0; d < 2; ++d) {
                    const double expected = i < length ? full.output.at({b * 4 + i, h * 2 + d}) : 0.0;
                    EXPECT_EQ(result.output.at({b * 4 + i, h * 2 + d}), expected);
                }
            }
        }
    }
}

TEST(Attention, RefusesHeadsLengthsShapesAndOverflow) {
    const Inputs in = inputs(2, 3, 2, 1, 2);
    for (const auto& [queryHeads, kvHeads] : {std::tuple<std::uint64_t, std::uint64_t>{0, 1}, {2, 0}, {3, 2}}) {
        expectThrowWithMessage<std::invalid_argument>(
            [&] { (void)groupedQueryAttention(in.query, in.key, in.value, 2, 3, queryHeads, kvHeads, 2, {}, true); },
            "GQA query heads must be divisible by KV heads");
    }
    expectThrowWithMessage<std::invalid_argument>([&] { (void)run(in, {3}); }, "attention lengths do not match batch");
    expectThrowWithMessage<std::invalid_argument>([&] { (void)run(in, {3, 4}); }, "attention length exceeds sequence");
    expectThrowWithMessage<std::invalid_argument>(
        [&] { (void)groupedQueryAttention(in.key, in.key, in.value, 2, 3, 2, 1, 2, {}, true); },
        "attention query has an invalid shape");
    expectThrowWithMessage<std::invalid_argument>(
        [&] { (void)groupedQueryAttention(in.query, in.query, in.value, 2, 3, 2, 1, 2, {}, true); },
        "attention key has an invalid shape");
    expectThrowWithMessage<std::invalid_argument>(
        [&] { (void)groupedQueryAttention(in.query, in.key, in.query, 2, 3, 2, 1, 2, {}, true); },
        "attention value has an invalid shape");

    Inputs large = in;
    large.query.values[0] = 1e300;
    large.key.values[0] = 1e300;
    expectThrowWithMessage<std::domain_error>([&] { (void)run(large, {}); }, "transformer operator produced NaN/Inf");
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
