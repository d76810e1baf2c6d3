#include "reference/cross_entropy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "driver/fixtures.h"
#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;
using Targets = std::vector<std::uint32_t>;

TokenBatch batchOf(std::uint64_t rows, std::uint64_t width) {
    return TokenBatch{rows, width, Targets(rows * width, 0), {}, {}};
}

TEST(CrossEntropy, EqualLogitsGiveLogVocabularyAndSoftmaxMinusOneHot) {
    const CrossEntropyResult result = crossEntropy(Tensor(Extents{1, 2, 5}, 0.25), batchOf(1, 2), {3, 0});
    EXPECT_NEAR(result.loss, 2.0 * std::log(5.0), 1e-15);
    for (std::uint64_t s = 0; s < 2; ++s) {
        for (std::uint64_t v = 0; v < 5; ++v) {
            EXPECT_NEAR(result.logitsGradient.at({0, s, v}), v == (s == 0 ? 3 : 0) ? 0.2 - 1.0 : 0.2, 1e-16);
        }
    }
    // The maximum is subtracted before exponentiation.
    Tensor large(Extents{1, 1, 2});
    large.values = {1000.0, 0.0};
    const CrossEntropyResult stable = crossEntropy(large, batchOf(1, 1), {1});
    EXPECT_NEAR(stable.loss, 1000.0, 1e-12);
    EXPECT_NEAR(stable.logitsGradient.values[0], 1.0, 1e-15);
}

TEST(CrossEntropy, OnlyActivePositionsCountAndTheirTargetsAloneAreRead) {
    TokenBatch batch = batchOf(2, 3);
    batch.lengths = {3, 0};
    batch.lossMask = {1, 0, 1, 1, 1, 1};
    const Tensor logits = sineTensor({2, 3, 4}, 0.6);
    // Targets of inactive positions (masked, or beyond the length) may lie outside the vocabulary.
    const Targets targets{2, 99, 1, 99, 99, 99};
    const CrossEntropyResult result = crossEntropy(logits, batch, targets);
    // The loss is that of the two active positions taken as a batch of their own.
    Tensor active(Extents{1, 2, 4});
    std::copy_n(logits.values.begin(), 4, active.values.begin());
    std::copy_n(logits.values.begin() + 8, 4, active.values.begin() + 4);
    EXPECT_EQ(result.loss, crossEntropy(active, batchOf(1, 2), {2, 1}).loss);
    for (std::uint64_t i = 0; i < 24; ++i) {
        const bool active = i < 12 && i / 4 != 1;
        EXPECT_EQ(result.logitsGradient.values[i] == 0.0, !active) << i;
    }
}

TEST(CrossEntropy, RefusesShapesAndTargetsBeyondTheVocabulary) {
    const TokenBatch batch = batchOf(2, 3);
    const Tensor logits(Extents{2, 3, 4});
    const Targets targets(6, 1);
    const auto refused = [](const Tensor& l, const TokenBatch& b, const Targets& t) {
        expectThrowWithMessage<std::invalid_argument>([&] { (void)crossEntropy(l, b, t); },
                                                      "cross-entropy shape mismatch");
    };
    refused(Tensor(Extents{6, 4}), batch, targets);
    refused(Tensor(Extents{2, 4, 4}), batch, targets);
    refused(Tensor(Extents{3, 3, 4}), batch, targets);
    refused(logits, batch, Targets(5, 1));
    refused(logits, TokenBatch{2, 3, targets, {}, {1, 1, 1}}, targets);
    refused(logits, TokenBatch{2, 3, targets, {3}, {}}, targets);
    refused(logits, TokenBatch{2, 3, targets, {3, 4}, {}}, targets);
    expectThrowWithMessage<std::out_of_range>(
        [&] {
            (void)crossEntropy(logits, batch, {1, 1, 1, 1, 4, 1});
        },
        "cross-entropy target exceeds vocabulary");
}

TEST(CountActiveTargets, CountsUsedMaskedPositionsAndRefusesMalformedBatchesInOrder) {
    TokenBatch batch = batchOf(3, 4);
    EXPECT_EQ(countActiveTargets(batch), 12u);
    batch.lengths = {4, 0, 2};
    EXPECT_EQ(countActiveTargets(batch), 6u);
    // A row of length 0 contributes nothing, whatever its mask says.
    batch.lossMask = {0, 1, 1, 0, 1, 1, 1, 1, 1, 0, 1, 1};
    EXPECT_EQ(countActiveTargets(batch), 3u);

    const auto refused = [](std::vector<std::uint64_t> lengths, std::vector<std::uint8_t> mask, const char* message) {
        const TokenBatch batch{2, 3, Targets(6, 0), std::move(lengths), std::move(mask)};
        expectThrowWithMessage<std::invalid_argument>([&] { (void)countActiveTargets(batch); }, message);
    };
    refused({1}, {1}, "training batch lengths mismatch");
    refused({4, 1}, {1}, "training batch loss mask mismatch");
    refused({4, 1}, {}, "training batch length exceeds sequence");
    refused({3, 3}, std::vector<std::uint8_t>(6, 0), "training batch contains no active loss targets");
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
