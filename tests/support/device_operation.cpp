#include "support/device_operation.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "cpu_device/control.h"
#include "cuda/transformer_cuda_error.h"
#include "cuda/transformer_cuda_session.h"
#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra::Testing {
namespace {

using CpuDevice::FaultSite;

constexpr cudaError_t kInjected = cudaErrorIllegalAddress;

struct Injection {
    FaultSite site;
    std::uint64_t nth;
    TransformerCudaErrorKind kind;
    std::string message;
};

std::vector<Injection> injectionsFor(const DeviceOperation& operation, std::uint64_t allocations) {
    const std::string failure = std::string(": ") + cudaGetErrorString(kInjected);
    std::vector<Injection> injections;
    for (std::uint64_t nth = 1; nth <= allocations; ++nth) {
        injections.push_back(
            {FaultSite::Allocation, nth, TransformerCudaErrorKind::Allocation, "cudaMallocAsync" + failure});
    }
    for (std::uint64_t nth = 1; nth <= operation.copies.size(); ++nth) {
        injections.push_back(
            {FaultSite::Copy, nth, TransformerCudaErrorKind::Runtime, operation.copies[nth - 1] + failure});
    }
    for (std::uint64_t nth = 1; nth <= operation.launches; ++nth) {
        injections.push_back(
            {FaultSite::Launch, nth, TransformerCudaErrorKind::Runtime, operation.kernelCheck + failure});
    }
    injections.push_back(
        {FaultSite::Synchronization, 1, TransformerCudaErrorKind::Runtime, operation.synchronize + failure});
    return injections;
}

}  // namespace

void expectEveryDeviceFailureReported(const DeviceOperation& operation) {
    SCOPED_TRACE(operation.name);
    CountingAllocator allocator;
    const TransformerCudaSession session(0, &allocator);
    const TransformerCudaContext& context = session.context();
    CpuDevice::clearFaults();
    (void)cudaGetLastError();

    // One more copy or launch than listed must find nothing to fail.
    CpuDevice::injectFault(FaultSite::Copy, operation.copies.size() + 1, kInjected);
    CpuDevice::injectFault(FaultSite::Launch, operation.launches + 1, kInjected);
    operation.call(context);
    CpuDevice::clearFaults();
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    const std::uint64_t allocations = allocator.allocations;
    EXPECT_GT(allocations, 0u);

    const std::uint64_t bytes = allocator.allocatedBytes();
    const std::uint64_t live = CpuDevice::liveAllocations();
    for (const Injection& injection : injectionsFor(operation, allocations)) {
        CpuDevice::injectFault(injection.site, injection.nth, kInjected);
        expectThrowWithMessage<TransformerCudaError>(
            [&] { operation.call(context); }, injection.message,
            [&](const TransformerCudaError& error) { EXPECT_EQ(error.kind, injection.kind) << injection.message; });
        CpuDevice::clearFaults();
        EXPECT_EQ(allocator.allocatedBytes(), bytes) << injection.message;
        EXPECT_EQ(CpuDevice::liveAllocations(), live) << injection.message;
        EXPECT_EQ(cudaGetLastError(), cudaSuccess) << injection.message;
    }
}

void expectIncompleteContextRefused(const DeviceOperation& operation) {
    SCOPED_TRACE(operation.name);
    CountingAllocator allocator;
    const TransformerCudaSession session(0, &allocator);
    TransformerCudaContext withoutStream = session.context();
    withoutStream.stream = nullptr;
    TransformerCudaContext withoutAllocator = session.context();
    withoutAllocator.allocator = nullptr;
    for (const TransformerCudaContext& context : {withoutStream, withoutAllocator}) {
        expectThrowWithMessage<TransformerCudaError>(
            [&] { operation.call(context); }, "incomplete CUDA training context",
            [](const TransformerCudaError& error) { EXPECT_EQ(error.kind, TransformerCudaErrorKind::Context); });
    }
    EXPECT_EQ(allocator.allocations, 0u);
}

void expectRefusedBeforeDeviceWork(const Refusal& refusal) {
    SCOPED_TRACE(refusal.message);
    CountingAllocator allocator;
    const TransformerCudaSession session(0, &allocator);
    expectThrowWithMessage<std::invalid_argument>([&] { refusal.call(session.context()); }, refusal.message);
    EXPECT_EQ(allocator.allocations, 0u);
}

}  // namespace Halcyne::Core::Vestra::Testing
