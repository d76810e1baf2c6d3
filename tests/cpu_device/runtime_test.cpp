// The CPU device's runtime calls: CUDA's error codes, texts and last-error rule, device memory that
// refuses strays, and faulted calls that do no work. (Which call a fault hits is exercised by every
// failure sweep of the device functions.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "cpu_device/control.h"
#include "cuda/device_platform.h"
#include "cuda/launch.h"
#include "support/cpu_device_test.h"
#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra {
namespace {

using CpuDeviceRuntime = Testing::CpuDeviceTest;

__global__ void storeKernel(double* __restrict__ out, double value) {
    out[threadIdx.x] = value;
}  // [blockDim]

TEST_F(CpuDeviceRuntime, TheLastErrorIsTheLatestFailureUntilRead) {
    EXPECT_EQ(cudaSetDevice(1), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaStreamDestroy(nullptr), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaSetDevice(0), cudaSuccess);  // a success leaves it alone
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidResourceHandle), "invalid resource handle");
    EXPECT_STREQ(cudaGetErrorString(static_cast<cudaError_t>(12345)), "unrecognized error code");
}

TEST_F(CpuDeviceRuntime, DeviceMemoryStartsAsNaNAndRefusesStrays) {
    const Testing::UncheckedScope unchecked;  // reads memory nothing has written
    {
        // Fresh memory: of a size no earlier test left in the pool.
        constexpr std::size_t kFresh = 12345;
        void* fresh = nullptr;
        ASSERT_EQ(cudaMallocAsync(&fresh, kFresh * sizeof(double), nullptr), cudaSuccess);
        std::vector<double> values(kFresh, 1.0);
        ASSERT_EQ(cudaMemcpyAsync(values.data(), fresh, kFresh * sizeof(double), cudaMemcpyDeviceToHost), cudaSuccess);
        EXPECT_TRUE(std::all_of(values.begin(), values.end(), [](double value) { return std::isnan(value); }));
        EXPECT_EQ(cudaFreeAsync(fresh, nullptr), cudaSuccess);
    }
    void* memory = nullptr;
    ASSERT_EQ(cudaMallocAsync(&memory, 4 * sizeof(double), nullptr), cudaSuccess);
    auto* device = static_cast<double*>(memory);
    std::vector<double> host(4, 1.0);
    const std::vector<double> source = {1.0, 2.0, 3.0, 4.0, 5.0};
    EXPECT_EQ(cudaMemcpyAsync(device, source.data(), 5 * sizeof(double), cudaMemcpyHostToDevice),
              cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpyAsync(device + 1, source.data(), 4 * sizeof(double), cudaMemcpyHostToDevice),
              cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpyAsync(device, source.data(), 8, static_cast<cudaMemcpyKind>(9)),
              cudaErrorInvalidMemcpyDirection);
    EXPECT_EQ(cudaMemsetAsync(device + 2, 0, 3 * sizeof(double)), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);

    ASSERT_EQ(cudaMemcpyAsync(device + 1, source.data(), 3 * sizeof(double), cudaMemcpyDefault), cudaSuccess);
    ASSERT_EQ(cudaMemsetAsync(device, 0, sizeof(double)), cudaSuccess);
    // A faulted call does none of its work: neither the memset nor the launch below writes.
    CpuDevice::injectFault(CpuDevice::FaultSite::Memset, 1, cudaErrorLaunchOutOfResources);
    CpuDevice::injectFault(CpuDevice::FaultSite::Launch, 1, cudaErrorLaunchOutOfResources);
    EXPECT_EQ(cudaMemsetAsync(device + 1, 0, sizeof(double)), cudaErrorLaunchOutOfResources);
    launch<storeKernel>(1, 4, 0, nullptr, device, 9.0);
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchOutOfResources);
    ASSERT_EQ(cudaMemcpyAsync(host.data(), device, 4 * sizeof(double), cudaMemcpyDefault), cudaSuccess);
    EXPECT_EQ(host, (std::vector<double>{0.0, 1.0, 2.0, 3.0}));

    EXPECT_EQ(cudaFreeAsync(device + 1, nullptr), cudaErrorInvalidValue);
    // Within the pool's release threshold the freed memory serves the next allocation of its size,
    // holding what it held: outside checking mode nothing fills it again.
    cudaMemPool_t pool = nullptr;
    ASSERT_EQ(cudaDeviceGetDefaultMemPool(&pool, 0), cudaSuccess);
    std::uint64_t threshold = UINT64_MAX;
    ASSERT_EQ(cudaMemPoolSetAttribute(pool, cudaMemPoolAttrReleaseThreshold, &threshold), cudaSuccess);
    EXPECT_EQ(cudaFreeAsync(device, nullptr), cudaSuccess);
    void* reused = nullptr;
    ASSERT_EQ(cudaMallocAsync(&reused, 4 * sizeof(double), nullptr), cudaSuccess);
    EXPECT_EQ(reused, memory);
    ASSERT_EQ(cudaMemcpyAsync(host.data(), reused, 4 * sizeof(double), cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(host, (std::vector<double>{0.0, 1.0, 2.0, 3.0}));
    threshold = 0;
    ASSERT_EQ(cudaMemPoolSetAttribute(pool, cudaMemPoolAttrReleaseThreshold, &threshold), cudaSuccess);
    EXPECT_EQ(cudaFreeAsync(reused, nullptr), cudaSuccess);
    EXPECT_EQ(cudaFreeAsync(device, nullptr), cudaErrorInvalidValue);
    EXPECT_EQ(cudaFreeAsync(nullptr, nullptr), cudaSuccess);
    void* huge = nullptr;
    EXPECT_EQ(cudaMallocAsync(&huge, std::size_t{1} << 62, nullptr), cudaErrorMemoryAllocation);
    Testing::expectThrowWithMessage<std::invalid_argument>(
        [] { CpuDevice::injectFault(CpuDevice::FaultSite::Copy, 0, 1); },
        "a fault needs a call number from 1 and a non-zero status");
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
