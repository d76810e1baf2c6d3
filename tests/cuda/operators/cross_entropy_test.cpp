// Device cross-entropy against the CPU reference over batches with and without lengths and loss
// masks, rows of length 0 and positions that are not multiples of the block; its refusals and
// failure paths.
#include "cuda/operators/cross_entropy.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "cuda/transformer_cuda_session.h"
#include "driver/fixtures.h"
#include "support/compare.h"
#include "support/device_operation.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::tensorsNear;

TokenBatch shapedBatch(std::uint64_t rows, std::uint64_t width, std::vector<std::uint64_t> lengths,
                       std::vector<std::uint8_t> lossMask) {
    return TokenBatch{rows, width, std::vector<std::uint32_t>(rows * width, 0), std::move(lengths),
                      std::move(lossMask)};
}

std::vector<std::uint32_t> spreadTargets(std::uint64_t count, std::uint64_t vocabulary) {
    std::vector<std::uint32_t> targets(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        targets[i] = static_cast<std::uint32_t>((i * 31) % vocabulary);
    }
    return targets;
}

std::vector<std::uint8_t> everyThirdMasked(std::uint64_t count) {
    std::vector<std::uint8_t> mask(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        mask[i] = i % 3 == 0 ? 0 : static_cast<std::uint8_t>(1 + i % 5);
    }
    return mask;
}

TEST(CudaCrossEntropy, MatchesTheCpuLossAndGradientAndZeroesInactivePositionsExactly) {
    struct Case {
        TokenBatch batch;
        std::uint64_t vocabulary;
    };
    const std::vector<Case> cases = {
        {shapedBatch(1, 1, {}, {}), 1},
        {shapedBatch(2, 3, {3, 1}, {}), 300},
        {shapedBatch(3, 50, {50, 0, 23}, everyThirdMasked(150)), 7},
        {shapedBatch(2, 65, {}, std::vector<std::uint8_t>(130, 0)), 5},
    };
    const TransformerCudaSession session(0);
    for (const Case& c : cases) {
        const TokenBatch& batch = c.batch;
        SCOPED_TRACE(::testing::Message() << batch.batch << "x" << batch.width << ", vocabulary " << c.vocabulary);
        const Tensor logits = uniformTensor({batch.batch, batch.width, c.vocabulary}, 3, 4.0);
        const std::vector<std::uint32_t> targets = spreadTargets(batch.batch * batch.width, c.vocabulary);
        const CrossEntropyResult expected = crossEntropy(logits, batch, targets);
        const CrossEntropyResult result = cudaCrossEntropy(logits, batch, targets, session.context());
        EXPECT_NEAR(result.loss, expected.loss, 1e-12);
        EXPECT_TRUE(tensorsNear(result.logitsGradient, expected.logitsGradient, 1e-15));
        for (std::size_t i = 0; i < expected.logitsGradient.values.size(); ++i) {
            if (expected.logitsGradient.values[i] == 0.0) {
                ASSERT_EQ(result.logitsGradient.values[i], 0.0) << "element " << i;
            }
        }
    }
}

TEST(CudaCrossEntropy, RefusesMalformedArgumentsBeforeDeviceWork) {
    const Tensor logits({2, 3, 4});
    const TokenBatch batch = shapedBatch(2, 3, {}, {});
    const std::vector<std::uint32_t> targets(6, 1);
    const auto call = [](Tensor l, TokenBatch b, std::vector<std::uint32_t> t) {
        return [=](const TransformerCudaContext& context) { (void)cudaCrossEntropy(l, b, t, context); };
    };
    Tensor unfilled = logits;
    unfilled.values.pop_back();
    std::vector<std::uint32_t> inactiveTooLarge = targets;
    inactiveTooLarge[5] = 4;
    const std::vector<Testing::Refusal> refusals = {
        {"CUDA cross-entropy shape mismatch", call(Tensor({6, 4}), batch, targets)},
        {"CUDA cross-entropy shape mismatch", call(Tensor({2, 2, 4}), batch, targets)},
        {"CUDA cross-entropy shape mismatch", call(unfilled, batch, targets)},
        {"CUDA cross-entropy shape mismatch", call(logits, batch, std::vector<std::uint32_t>(5, 1))},
        {"CUDA cross-entropy shape mismatch", call(logits, shapedBatch(2, 3, {}, {1, 1}), targets)},
        {"CUDA cross-entropy target exceeds vocabulary", call(logits, shapedBatch(2, 3, {3, 2}, {}), inactiveTooLarge)},
        {"CUDA cross-entropy lengths mismatch", call(logits, shapedBatch(2, 3, {3}, {}), targets)},
    };
    for (const Testing::Refusal& refusal : refusals) {
        Testing::expectRefusedBeforeDeviceWork(refusal);
    }
}

TEST(CudaCrossEntropy, ReportsEveryDeviceFailureWithAndWithoutMask) {
    const Tensor logits = uniformTensor({2, 3, 4}, 1, 1.0);
    const std::vector<std::uint32_t> targets = spreadTargets(6, 4);
    const std::vector<std::string> uploads = {"upload logits", "upload targets", "upload lengths"};
    const std::vector<std::string> downloads = {"download logits gradient", "download losses"};
    for (const bool masked : {false, true}) {
        const TokenBatch batch = shapedBatch(2, 3, {3, 2}, masked ? everyThirdMasked(6) : std::vector<std::uint8_t>{});
        std::vector<std::string> copies = uploads;
        if (masked) {
            copies.push_back("upload loss mask");
        }
        copies.insert(copies.end(), downloads.begin(), downloads.end());
        const Testing::DeviceOperation operation{
            masked ? "masked cross-entropy" : "cross-entropy",
            [&](const TransformerCudaContext& context) { (void)cudaCrossEntropy(logits, batch, targets, context); },
            copies,
            "cross-entropy kernel",
            masked ? 2u : 1u,
            "synchronize cross-entropy"};
        Testing::expectEveryDeviceFailureReported(operation);
        Testing::expectIncompleteContextRefused(operation);
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
