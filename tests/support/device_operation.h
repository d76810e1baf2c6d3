// One harness for the failure paths of the device functions, on the CPU device. An operation is
// described by the device calls it makes, in order; the harness fails each in turn and checks that
// it is reported under its name and that every device buffer was given back. An allocation fault
// armed before a call proves that the call refuses before any device work.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cpu_device/control.h"
#include "cuda/transformer_cuda_error.h"
#include "cuda/transformer_cuda_session.h"
#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra::Testing {

using DeviceCall = std::function<void(const TransformerCudaContext&)>;

struct DeviceOperation {
    std::string name;
    DeviceCall call;                  // with valid arguments
    std::vector<std::string> copies;  // the upload and download operation names, in call order
    std::string kernelCheck;
    unsigned launches;
    std::string synchronize;
    std::vector<std::string> clears = {};  // the memset operation names, in call order
};

inline constexpr cudaError_t kInjectedFault = cudaErrorIllegalAddress;

inline void expectDeviceError(const DeviceCall& call, const TransformerCudaContext& context,
                              TransformerCudaErrorKind kind, const std::string& message) {
    expectThrowWithMessage<TransformerCudaError>(
        [&] { call(context); }, message, [&](const TransformerCudaError& e) { EXPECT_EQ(e.kind, kind) << message; });
}

// A context without a stream, and one without an allocator, give kind Context before device work.
inline void expectIncompleteContextRefused(const DeviceCall& call) {
    const TransformerCudaSession session(0);
    TransformerCudaContext withoutStream = session.context();
    withoutStream.stream = nullptr;
    TransformerCudaContext withoutAllocator = session.context();
    withoutAllocator.allocator = nullptr;
    for (const TransformerCudaContext& context : {withoutStream, withoutAllocator}) {
        CpuDevice::injectFault(CpuDevice::FaultSite::Allocation, 1, kInjectedFault);
        expectDeviceError(call, context, TransformerCudaErrorKind::Context, "incomplete CUDA training context");
        CpuDevice::clearFaults();
    }
}

// Fails every allocation, copy, memset and launch of the operation and its synchronisation, one at a
// time. Each is reported with its name (an allocation as kind Allocation, the rest as kind Runtime)
// and leaves the allocator's bytes and the device's live allocations where they were. The operation
// must make exactly the copies, memsets and launches listed. An incomplete context is refused too.
inline void expectEveryDeviceFailureReported(const DeviceOperation& operation) {
    using CpuDevice::FaultSite;
    SCOPED_TRACE(operation.name);
    const TransformerCudaSession session(0);
    const TransformerCudaContext& context = session.context();
    const std::uint64_t bytes = context.allocator->allocatedBytes();
    const std::uint64_t live = CpuDevice::liveAllocations();
    const std::string failure = std::string(": ") + cudaGetErrorString(kInjectedFault);
    const auto expectReleased = [&](const std::string& message) {
        CpuDevice::clearFaults();
        EXPECT_EQ(context.allocator->allocatedBytes(), bytes) << message;
        EXPECT_EQ(CpuDevice::liveAllocations(), live) << message;
        EXPECT_EQ(cudaGetLastError(), cudaSuccess) << message;
    };
    const auto expectFailure = [&](FaultSite site, std::uint64_t nth, const std::string& name) {
        CpuDevice::injectFault(site, nth, kInjectedFault);
        expectDeviceError(operation.call, context, TransformerCudaErrorKind::Runtime, name + failure);
        expectReleased(name);
    };
    CpuDevice::injectFault(FaultSite::Copy, operation.copies.size() + 1, kInjectedFault);
    CpuDevice::injectFault(FaultSite::Memset, operation.clears.size() + 1, kInjectedFault);
    CpuDevice::injectFault(FaultSite::Launch, operation.launches + 1, kInjectedFault);
    EXPECT_NO_THROW(operation.call(context)) << "more copies, memsets or launches than listed";
    expectReleased("after a clean run");
    for (std::uint64_t nth = 1; nth <= operation.copies.size(); ++nth) {
        expectFailure(FaultSite::Copy, nth, operation.copies[nth - 1]);
    }
    for (std::uint64_t nth = 1; nth <= operation.clears.size(); ++nth) {
        expectFailure(FaultSite::Memset, nth, operation.clears[nth - 1]);
    }
    for (std::uint64_t nth = 1; nth <= operation.launches; ++nth) {
        expectFailure(FaultSite::Launch, nth, operation.kernelCheck);
    }
    expectFailure(FaultSite::Synchronization, 1, operation.synchronize);
    // Allocations are not listed: the nth is failed until the operation makes fewer than n.
    for (std::uint64_t nth = 1;; ++nth) {
        CpuDevice::injectFault(FaultSite::Allocation, nth, kInjectedFault);
        try {
            operation.call(context);
            expectReleased("after a clean run");
            EXPECT_GT(nth, 1u) << "no allocation";
            break;
        } catch (const TransformerCudaError& error) {
            EXPECT_EQ(error.what(), "cudaMallocAsync" + failure);
            EXPECT_EQ(error.kind, TransformerCudaErrorKind::Allocation);
            expectReleased("allocation " + std::to_string(nth));
        }
    }
    expectIncompleteContextRefused(operation.call);
}

// The call throws Exception with `message` while an allocation fault is armed: it refused before
// any device work (a device error instead escapes and fails the test).
template <class Exception = std::invalid_argument>
void expectRefusedBeforeDeviceWork(const DeviceCall& call, const TransformerCudaContext& context,
                                   const std::string& message) {
    CpuDevice::injectFault(CpuDevice::FaultSite::Allocation, 1, kInjectedFault);
    expectThrowWithMessage<Exception>([&] { call(context); }, message);
    CpuDevice::clearFaults();
}

}  // namespace Halcyne::Core::Vestra::Testing
