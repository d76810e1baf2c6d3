// The device layer on whichever backend the build has: allocator counters, buffers, the context
// check, the status checks' messages and the transfer helpers.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "cuda/device_transfers.h"
#include "cuda/transformer_cuda_session.h"
#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;

// Forwards to a real allocator and records what it was asked.
class RecordingAllocator final : public ITransformerDeviceAllocator {
  public:
    void* allocate(std::uint64_t bytes, cudaStream_t stream) override {
        allocations.push_back(bytes);
        return inner.allocate(bytes, stream);
    }
    void deallocate(void* pointer, std::uint64_t bytes, cudaStream_t stream) override {
        deallocations.push_back(bytes);
        inner.deallocate(pointer, bytes, stream);
    }
    std::uint64_t allocatedBytes() const override { return inner.allocatedBytes(); }
    std::uint64_t peakBytes() const override { return inner.peakBytes(); }

    TransformerCudaAllocator inner;
    std::vector<std::uint64_t> allocations;
    std::vector<std::uint64_t> deallocations;
};

TEST(DeviceAllocator, CountsLiveAndPeakBytesAndClampsAtZero) {
    const TransformerCudaSession session(0);
    const TransformerCudaContext& context = session.context();
    TransformerCudaAllocator allocator;
    void* first = allocator.allocate(800, context.stream);
    allocator.deallocate(first, 800, context.stream);
    void* second = allocator.allocate(400, context.stream);
    EXPECT_EQ(allocator.allocatedBytes(), 400u);
    EXPECT_EQ(allocator.peakBytes(), 800u);
    allocator.deallocate(nullptr, 400, context.stream);  // ignored
    EXPECT_EQ(allocator.allocatedBytes(), 400u);
    allocator.deallocate(second, 1000, context.stream);
    EXPECT_EQ(allocator.allocatedBytes(), 0u);
    EXPECT_EQ(allocator.peakBytes(), 800u);
}

TEST(DeviceBuffer, TakesAndReturnsItsBytesThroughTheContextAllocator) {
    RecordingAllocator allocator;
    const TransformerCudaSession session(0, &allocator);
    const TransformerCudaContext& context = session.context();
    ASSERT_EQ(context.allocator, &allocator);
    {
        const DeviceBuffer<double> none(context, 0);
        EXPECT_EQ(none.get(), nullptr);
        DeviceBuffer<std::uint32_t> tokens(context, 5);
        DeviceBuffer<__nv_bfloat16> mirror(context, 3);
        EXPECT_EQ(allocator.allocatedBytes(), 26u);
        DeviceBuffer<std::uint32_t> moved = std::move(tokens);
        EXPECT_EQ(tokens.get(), nullptr);
        EXPECT_EQ(moved.count(), 5u);
    }
    EXPECT_EQ(allocator.allocations, (std::vector<std::uint64_t>{20, 6}));
    EXPECT_EQ(allocator.deallocations, (std::vector<std::uint64_t>{20, 6}));
    EXPECT_EQ(allocator.allocatedBytes(), 0u);
    EXPECT_EQ(allocator.peakBytes(), 26u);
}

TEST(DeviceContext, IncompleteContextsAreRefusedBeforeAnyDeviceWork) {
    const TransformerCudaSession session(0);
    const TransformerCudaContext& complete = session.context();
    EXPECT_EQ(complete.device, 0);
    EXPECT_NE(complete.cublas, nullptr);
    EXPECT_NO_THROW(requireCompleteContext({-1, complete.stream, nullptr, complete.allocator}));
    for (const TransformerCudaContext& incomplete :
         {TransformerCudaContext{0, nullptr, complete.cublas, complete.allocator},
          TransformerCudaContext{0, complete.stream, complete.cublas, nullptr}, TransformerCudaContext{}}) {
        expectThrowWithMessage<TransformerCudaError>(
            [&] { requireCompleteContext(incomplete); }, "incomplete CUDA training context",
            [](const TransformerCudaError& error) { EXPECT_EQ(error.kind, TransformerCudaErrorKind::Context); });
    }
    expectThrowWithMessage<TransformerCudaError>(
        [&] {
            (void)DeviceBuffer<double>({0, complete.stream, nullptr, nullptr}, 1);
        },
        "incomplete CUDA training context");
}

TEST(DeviceStatus, ChecksNameTheOperation) {
    expectThrowWithMessage<TransformerCudaError>([] { checkCuda(cudaErrorMemoryAllocation, "upload logits"); },
                                                 "upload logits: out of memory");
    expectThrowWithMessage<TransformerCudaError>([] { checkCublas(CUBLAS_STATUS_INVALID_VALUE, "cublasSetMathMode"); },
                                                 "cublasSetMathMode failed with status 7");
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

}  // namespace
}  // namespace Halcyne::Core::Vestra
