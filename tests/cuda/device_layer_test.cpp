// The device layer on whichever backend the build has: allocator counters, buffers, the context
// check, the transfer helpers and what a session does to the device's memory pool.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "cuda/device_transfers.h"
#include "cuda/transformer_cuda_session.h"
#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;

TEST(DeviceMemory, BuffersNeedAndUseTheContextAllocatorWhichCountsLiveAndPeakBytes) {
    TransformerCudaAllocator allocator;
    const TransformerCudaSession session(0, &allocator);
    const TransformerCudaContext& context = session.context();
    {
        const DeviceBuffer<double> none(context, 0);
        EXPECT_EQ(none.get(), nullptr);
        DeviceBuffer<std::uint32_t> tokens(context, 5);
        const DeviceBuffer<__nv_bfloat16> mirror(context, 3);
        EXPECT_EQ(allocator.allocatedBytes(), 26u);
        const DeviceBuffer<std::uint32_t> moved = std::move(tokens);
        EXPECT_EQ(tokens.get(), nullptr);  // NOLINT(bugprone-use-after-move)
        EXPECT_EQ(moved.count(), 5u);
    }
    EXPECT_EQ(allocator.allocatedBytes(), 0u);
    EXPECT_EQ(allocator.peakBytes(), 26u);
    // Direct use: a null pointer is ignored and a release beyond the live bytes clamps at zero.
    void* bytes = allocator.allocate(400, context.stream);
    allocator.deallocate(nullptr, 400, context.stream);
    EXPECT_EQ(allocator.allocatedBytes(), 400u);
    allocator.deallocate(bytes, 1000, context.stream);
    EXPECT_EQ(allocator.allocatedBytes(), 0u);
    EXPECT_EQ(allocator.peakBytes(), 400u);

    // Only the stream and the allocator are required of a context.
    EXPECT_NO_THROW(requireCompleteContext({-1, context.stream, nullptr, context.allocator}));
    const TransformerCudaContext withoutAllocator{0, context.stream, context.cublas, nullptr};
    expectThrowWithMessage<TransformerCudaError>(
        [&] { (void)DeviceBuffer<double>(withoutAllocator, 1); }, "incomplete CUDA training context",
        [](const TransformerCudaError& error) { EXPECT_EQ(error.kind, TransformerCudaErrorKind::Context); });
}

TEST(DeviceTransfers, RoundTripAndRefuseMismatchedCounts) {
    const TransformerCudaSession session(0);
    const TransformerCudaContext& context = session.context();
    {
        const auto empty = uploadBuffer(context, std::vector<double>{}, "upload nothing");
        EXPECT_EQ(context.allocator->peakBytes(), 0u);
        auto values = uploadBuffer(context, std::vector<double>{1.5, -2.0, 3.25}, "upload values");
        const auto zeros = clearedBuffer<double>(context, 2, "clear zeros");
        upload(context, values, std::vector<double>{4.0, 5.0, 6.0}, "upload again");
        std::vector<double> host(5, 7.0);
        download(context, std::span(host).first(3), values, "download values");
        download(context, std::span(host).last(2), zeros, "download zeros");
        synchronize(context, "synchronize transfers");
        EXPECT_EQ(host, (std::vector<double>{4.0, 5.0, 6.0, 0.0, 0.0}));
        expectThrowWithMessage<std::invalid_argument>([&] { download(context, host, values, "download logits"); },
                                                      "download logits: host and device element counts differ");
    }
    EXPECT_EQ(context.allocator->allocatedBytes(), 0u);
}

std::uint64_t releaseThreshold(cudaMemPool_t pool) {
    std::uint64_t threshold = 0;
    EXPECT_EQ(cudaMemPoolGetAttribute(pool, cudaMemPoolAttrReleaseThreshold, &threshold), cudaSuccess);
    return threshold;
}

// Steady training allocates from the pool only if freed memory stays there; a program that opened
// and ended a session finds the device's pool as it left it.
TEST(DeviceSession, LetsThePoolKeepWhatIsFreedWhileItLastsAndPutsItsThresholdBack) {
    cudaMemPool_t pool = nullptr;
    ASSERT_EQ(cudaDeviceGetDefaultMemPool(&pool, 0), cudaSuccess);
    const std::uint64_t original = releaseThreshold(pool);
    std::uint64_t threshold = 4096;
    ASSERT_EQ(cudaMemPoolSetAttribute(pool, cudaMemPoolAttrReleaseThreshold, &threshold), cudaSuccess);
    {
        const TransformerCudaSession session(0);
        EXPECT_EQ(releaseThreshold(pool), std::numeric_limits<std::uint64_t>::max());
    }
    EXPECT_EQ(releaseThreshold(pool), 4096u);
    threshold = original;
    ASSERT_EQ(cudaMemPoolSetAttribute(pool, cudaMemPoolAttrReleaseThreshold, &threshold), cudaSuccess);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
