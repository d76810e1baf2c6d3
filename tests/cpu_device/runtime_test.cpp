// The CPU device's runtime calls: CUDA's error codes, texts and last-error rule, device memory that
// refuses strays, stream handles, and faults injected into the nth call of each kind.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
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
    void* memory = nullptr;
    ASSERT_EQ(cudaMallocAsync(&memory, 4 * sizeof(double), nullptr), cudaSuccess);
    auto* device = static_cast<double*>(memory);
    std::vector<double> host(4, 1.0);
    ASSERT_EQ(cudaMemcpyAsync(host.data(), device, 4 * sizeof(double), cudaMemcpyDeviceToHost), cudaSuccess);
    for (const double value : host) {
        EXPECT_TRUE(std::isnan(value));
    }
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
    ASSERT_EQ(cudaMemcpyAsync(host.data(), device, 4 * sizeof(double), cudaMemcpyDefault), cudaSuccess);
    EXPECT_EQ(host, (std::vector<double>{0.0, 1.0, 2.0, 3.0}));

    EXPECT_EQ(cudaFreeAsync(device + 1, nullptr), cudaErrorInvalidValue);
    EXPECT_EQ(cudaFreeAsync(device, nullptr), cudaSuccess);
    EXPECT_EQ(cudaFreeAsync(device, nullptr), cudaErrorInvalidValue);
    EXPECT_EQ(cudaFreeAsync(nullptr, nullptr), cudaSuccess);
    void* huge = nullptr;
    EXPECT_EQ(cudaMallocAsync(&huge, std::size_t{1} << 62, nullptr), cudaErrorMemoryAllocation);
}

TEST_F(CpuDeviceRuntime, FaultsFireOnTheNthCallOfTheirKindOnly) {
    void* memory = nullptr;
    ASSERT_EQ(cudaMallocAsync(&memory, 4 * sizeof(double), nullptr), cudaSuccess);
    auto* device = static_cast<double*>(memory);
    double host = 0.0;
    cublasHandle_t handle = nullptr;
    ASSERT_EQ(cublasCreate_v2(&handle), CUBLAS_STATUS_SUCCESS);
    struct Case {
        CpuDevice::FaultSite site;
        std::function<int()> call;
    };
    const std::vector<Case> cases = {
        {CpuDevice::FaultSite::Copy,
         [&] { return static_cast<int>(cudaMemcpyAsync(&host, device, sizeof(double), cudaMemcpyDeviceToHost)); }},
        {CpuDevice::FaultSite::Memset, [&] { return static_cast<int>(cudaMemsetAsync(device, 0, sizeof(double))); }},
        {CpuDevice::FaultSite::Launch,
         [&] {
             launch(storeKernel, 1, 4, 0, nullptr, device, 3.0);
             return static_cast<int>(cudaGetLastError());
         }},
        {CpuDevice::FaultSite::Synchronization, [] { return static_cast<int>(cudaStreamSynchronize(nullptr)); }},
        {CpuDevice::FaultSite::Blas, [&] { return static_cast<int>(cublasSetMathMode(handle, CUBLAS_PEDANTIC_MATH)); }},
    };
    for (const Case& fault : cases) {
        SCOPED_TRACE(static_cast<int>(fault.site));
        CpuDevice::injectFault(fault.site, 2, 999);
        CpuDevice::injectFault(
            fault.site == CpuDevice::FaultSite::Memset ? CpuDevice::FaultSite::Copy : CpuDevice::FaultSite::Memset, 1,
            999);  // not counted by calls of another kind
        EXPECT_EQ(fault.call(), 0);
        EXPECT_EQ(fault.call(), 999);
        if (fault.site != CpuDevice::FaultSite::Blas && fault.site != CpuDevice::FaultSite::Launch) {
            EXPECT_EQ(cudaGetLastError(), cudaErrorUnknown);  // the launch's call has read it already
        }
        EXPECT_EQ(fault.call(), 0);
        CpuDevice::clearFaults();
    }
    // The faulted launch did not run: the value stored is from the first launch.
    CpuDevice::injectFault(CpuDevice::FaultSite::Launch, 1, cudaErrorLaunchOutOfResources);
    launch(storeKernel, 1, 4, 0, nullptr, device, 9.0);
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchOutOfResources);
    ASSERT_EQ(cudaMemcpyAsync(&host, device, sizeof(double), cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(host, 3.0);
    EXPECT_EQ(cublasDestroy_v2(handle), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(cudaFreeAsync(memory, nullptr), cudaSuccess);
    Testing::expectThrowWithMessage<std::invalid_argument>(
        [] { CpuDevice::injectFault(CpuDevice::FaultSite::Copy, 0, 1); },
        "a fault needs a call number from 1 and a non-zero status");
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
