// Device-layer failure paths, driven by faults injected into the CPU device: a session that fails
// part-way releases what it created, and every failed call is reported under its operation's name
// with the right kind, leaving the allocator's counters as they were.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "cpu_device/control.h"
#include "cuda/device_transfers.h"
#include "cuda/transformer_cuda_session.h"
#include "support/cpu_device_test.h"
#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra {
namespace {

using CpuDevice::FaultSite;
using DeviceFaults = Testing::CpuDeviceTest;

void expectDeviceError(const std::function<void()>& call, TransformerCudaErrorKind kind, const std::string& message) {
    Testing::expectThrowWithMessage<TransformerCudaError>(
        call, message, [kind](const TransformerCudaError& error) { EXPECT_EQ(error.kind, kind); });
}

TEST_F(DeviceFaults, SessionThatFailsReleasesWhatItCreated) {
    struct Case {
        FaultSite site;
        std::uint64_t nth;
        int status;
        TransformerCudaErrorKind kind;
        const char* message;
    };
    const std::uint64_t streams = CpuDevice::liveStreams();
    const std::uint64_t handles = CpuDevice::liveBlasHandles();
    for (const Case& failure : {
             Case{FaultSite::DeviceSelection, 1, cudaErrorNoDevice, TransformerCudaErrorKind::Runtime,
                  "cudaSetDevice: no CUDA-capable device is detected"},
             Case{FaultSite::StreamCreation, 1, cudaErrorMemoryAllocation, TransformerCudaErrorKind::Runtime,
                  "cudaStreamCreate: out of memory"},
             Case{FaultSite::Blas, 1, CUBLAS_STATUS_NOT_INITIALIZED, TransformerCudaErrorKind::Blas,
                  "cublasCreate failed with status 1"},
             Case{FaultSite::Blas, 2, CUBLAS_STATUS_INTERNAL_ERROR, TransformerCudaErrorKind::Blas,
                  "cublasSetStream failed with status 14"},
             Case{FaultSite::Blas, 3, CUBLAS_STATUS_INVALID_VALUE, TransformerCudaErrorKind::Blas,
                  "cublasSetMathMode failed with status 7"},
         }) {
        CpuDevice::injectFault(failure.site, failure.nth, failure.status);
        expectDeviceError([] { const TransformerCudaSession session(0); }, failure.kind, failure.message);
        EXPECT_EQ(CpuDevice::liveStreams(), streams) << failure.message;
        EXPECT_EQ(CpuDevice::liveBlasHandles(), handles) << failure.message;
        EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "the reported failure stayed as the last error";
    }
    {
        const TransformerCudaSession session(0);
        EXPECT_EQ(CpuDevice::liveStreams(), streams + 1);
        EXPECT_EQ(CpuDevice::liveBlasHandles(), handles + 1);
    }
    EXPECT_EQ(CpuDevice::liveStreams(), streams);
    EXPECT_EQ(CpuDevice::liveBlasHandles(), handles);
}

TEST_F(DeviceFaults, FailedCallsCarryTheirOperationAndKeepTheCounters) {
    const TransformerCudaSession session(0);
    const TransformerCudaContext& context = session.context();
    auto values = uploadBuffer(context, std::vector<double>{1.0, 2.0}, "upload values");
    const std::uint64_t allocated = context.allocator->allocatedBytes();
    const std::uint64_t peak = context.allocator->peakBytes();
    std::vector<double> host(2);
    struct Case {
        FaultSite site;
        TransformerCudaErrorKind kind;
        const char* message;
        std::function<void()> call;
    };
    const std::vector<Case> cases = {
        {FaultSite::Allocation, TransformerCudaErrorKind::Allocation, "cudaMallocAsync: out of memory",
         [&] { const DeviceBuffer<double> buffer(context, 8); }},
        {FaultSite::Copy, TransformerCudaErrorKind::Runtime, "upload logits: out of memory",
         [&] { upload(context, values, host, "upload logits"); }},
        {FaultSite::Copy, TransformerCudaErrorKind::Runtime, "download losses: out of memory",
         [&] { download(context, host, values, "download losses"); }},
        {FaultSite::Memset, TransformerCudaErrorKind::Runtime, "clear resident gradient: out of memory",
         [&] { clear(context, values, "clear resident gradient"); }},
        {FaultSite::Synchronization, TransformerCudaErrorKind::Runtime, "synchronize AdamW: out of memory",
         [&] { synchronize(context, "synchronize AdamW"); }},
    };
    for (const Case& failure : cases) {
        CpuDevice::injectFault(failure.site, 1, cudaErrorMemoryAllocation);
        expectDeviceError(failure.call, failure.kind, failure.message);
        EXPECT_EQ(context.allocator->allocatedBytes(), allocated) << failure.message;
        EXPECT_EQ(context.allocator->peakBytes(), peak) << failure.message;
        EXPECT_EQ(cudaGetLastError(), cudaSuccess) << failure.message;
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
