#include "reference/cross_entropy.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "driver/fixtures.h"
#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;

TokenBatch batchOf(std::uint64_t rows, std::uint64_t width) {
    return TokenBatch{rows, width, std::vector<std::uint32_t>(rows * width, 0), {}, {}};
}

TEST(CrossEntropy, EqualLogitsGiveLogVocabularyAndUniformGradient) {
    const TokenBatch batch = batchOf(1, 2);
    const Tensor logits(Extents{1, 2, 5}, 0.25);
    const CrossEntropyResult result = crossEntropy(logits, batch, {3, 0});
    EXPECT_NEAR(result.loss, 2.0 * std::log(5.0), 1e-15);
    for (std::uint64_t s = 0; s < 2; ++s) {
        for (std::uint64_t v = 0; v < 5; ++v) {
            const bool target = (s == 0 && v == 3) || (s == 1 && v == 0);
            EXPECT_NEAR(result.logitsGradient.at({0, s, v}), target ? 0.2 - 1.0 : 0.2, 1e-16);
        }
    }
    EXPECT_TRUE(result.logitsGradient.doublePrecision);
}

TEST(CrossEntropy, SubtractsTheMaximumBeforeExponentiation) {
    const TokenBatch batch = batchOf(1, 1);
    Tensor logits(Extents{1, 1, 2});
    logits.values = {1000.0, 0.0};
    const CrossEntropyResult result = crossEntropy(logits, batch, {1});
    EXPECT_NEAR(result.loss, 1000.0, 1e-12);
    EXPECT_NEAR(result.logitsGradient.values[0], 1.0, 1e-15);
    EXPECT_NEAR(result.logitsGradient.values[1], -1.0, 1e-15);
}

TEST(CrossEntropy, OnlyActivePositionsCountAndTheirTargetsAloneAreRead) {
    TokenBatch batch = batchOf(2, 3);
    batch.lengths = {3, 0};
    batch.lossMask = {1, 0, 1, 1, 1, 1};
    const Tensor logits = sineTensor({2, 3, 4}, 0.6);
    // Targets of inactive positions (masked, or beyond the length) may lie outside the vocabulary.
    const std::vector<std::uint32_t> targets{2, 99, 1, 99, 99, 99};
    const CrossEntropyResult result = crossEntropy(logits, batch, targets);

    double expected = 0.0;
    for (const std::uint64_t s : {0u, 2u}) {
        double normalizer = 0.0;
        for (std::uint64_t v = 0; v < 4; ++v) {
            normalizer += std::exp(logits.at({0, s, v}));
        }
        expected += std::log(normalizer) - logits.at({0, s, targets[s]});
    }
    EXPECT_NEAR(result.loss, expected, 1e-14);
    for (std::uint64_t v = 0; v < 4; ++v) {
        EXPECT_EQ(result.logitsGradient.at({0, 1, v}), 0.0);
        for (std::uint64_t s = 0; s < 3; ++s) {
            EXPECT_EQ(result.logitsGradient.at({1, s, v}), 0.0);
        }
    }

    batch.lossMask.assign(6, 0);
    const CrossEntropyResult none = crossEntropy(logits, batch, targets);
    EXPECT_EQ(none.loss, 0.0);
    for (const double g : none.logitsGradient.values) {
        EXPECT_EQ(g, 0.0);
    }
}

TEST(CrossEntropy, RefusesShapesAndTargetsBeyondTheVocabulary) {
    TokenBatch batch = batchOf(2, 3);
    const Tensor logits(Extents{2, 3, 4});
    const std::vector<std::uint32_t> targets(6, 1);
    const auto refused = [&](const Tensor& l, const TokenBatch& b, const std::vector<std::uint32_t>& t) {
        expectThrowWithMessage<std::invalid_argument>([&] { (void)crossEntropy(l, b, t); },
                                                      "cross-entropy shape mismatch");
    };
    refused(Tensor(Extents{6, 4}), batch, targets);
    refused(Tensor(Extents{2, 4, 4}), batch, targets);
    refused(Tensor(Extents{3, 3, 4}), batch, targets);
    refused(logits, batch, std::vector<std::uint32_t>(5, 1));
    TokenBatch masked = batch;
    masked.lossMask = {1, 1, 1};
    refused(logits, masked, targets);
    TokenBatch lengths = batch;
    lengths.lengths = {3};
    refused(logits, lengths, targets);
    lengths.lengths = {3, 4};
    refused(logits, lengths, targets);

    std::vector<std::uint32_t> far = targets;
    far[4] = 4;
    expectThrowWithMessage<std::out_of_range>([&] { (void)crossEntropy(logits, batch, far); },
                                              "cross-entropy target exceeds vocabulary");
}

TEST(CountActiveTargets, CountsPositionsBelowTheLengthSelectedByTheMask) {
    TokenBatch batch = batchOf(3, 4);
    EXPECT_EQ(countActiveTargets(batch), 12u);
    batch.lengths = {4, 0, 2};
    EXPECT_EQ(countActiveTargets(batch), 6u);
    // A row of length 0 contributes nothing, whatever its mask says.
    batch.lossMask = {0, 1, 1, 0, 1, 1, 1, 1, 1, 0, 1, 1};
    EXPECT_EQ(countActiveTargets(batch), 3u);
}

TEST(CountActiveTargets, RefusesMalformedBatchesInOrder) {
    TokenBatch batch = batchOf(2, 3);
    batch.lengths = {1};
    batch.lossMask = {1};
    expectThrowWithMessage<std::invalid_argument>([&] { (void)countActiveTargets(batch); },
                                                  "training batch lengths mismatch");
    batch.lengths = {4, 1};
    expectThrowWithMessage<std::invalid_argument>([&] { (void)countActiveTargets(batch); },
                                                  "training batch loss mask mismatch");
    batch.lossMask.clear();
    expectThrowWithMessage<std::invalid_argument>([&] { (void)countActiveTargets(batch); },
                                                  "training batch length exceeds sequence");
    batch.lengths = {3, 3};
    batch.lossMask.assign(6, 0);
    expectThrowWithMessage<std::invalid_argument>([&] { (void)countActiveTargets(batch); },
                                                  "training batch contains no active loss targets");
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
