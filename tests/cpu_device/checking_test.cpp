// Checking mode finds the faults a GPU run would hide: each case plants one bug in a small kernel and
// expects the launch to fail with the fault named; the same kernels without the bug run clean.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "cpu_device/control.h"
#include "cuda/device_transfers.h"
#include "cuda/launch.h"
#include "cuda/transformer_cuda_session.h"
#include "support/cpu_device_test.h"

namespace Halcyne::Core::Vestra {
namespace {

// One sum per block of 64 threads, over dynamic or static shared memory; without the barrier inside
// the halving loop a thread may read its partner's slot before the partner has added into it.
template <bool kBarrier, bool kStatic = false>
__global__ void blockSumKernel(const double* __restrict__ in,  // [blocks, 64]
                               double* __restrict__ out) {     // [blocks]
    double* cache = nullptr;
    if constexpr (kStatic) {
        VESTRA_SHARED_ARRAY(double, staticCache, 64);
        cache = staticCache;
    } else {
        cache = dynamicSharedMemory<double>();
    }
    cache[threadIdx.x] = in[blockIdx.x * blockDim.x + threadIdx.x];
    __syncthreads();
    for (unsigned stride = blockDim.x / 2; stride > 0; stride /= 2) {
        if (threadIdx.x < stride) {
            cache[threadIdx.x] += cache[threadIdx.x + stride];
        }
        if (kBarrier) {
            __syncthreads();
        }
    }
    if (threadIdx.x == 0) {
        out[blockIdx.x] = cache[0];
    }
}

VESTRA_STATIC_SHARED_BYTES((blockSumKernel<true, true>), 64 * sizeof(double));
VESTRA_STATIC_SHARED_BYTES((blockSumKernel<false, true>), 64 * sizeof(double));

// Each thread passes its input to its left neighbour through shared memory; with `skipLast` the last
// thread never writes its slot, which its neighbour reads all the same.
__global__ void rotateKernel(const double* __restrict__ in, double* __restrict__ out, bool skipLast) {
    double* cache = dynamicSharedMemory<double>();
    if (!skipLast || threadIdx.x + 1 < blockDim.x) {
        cache[threadIdx.x] = in[threadIdx.x];
    }
    __syncthreads();
    out[threadIdx.x] = cache[(threadIdx.x + 1) % blockDim.x];
}

// Writes out[i] for each thread i; `overlap` makes every block also write its neighbour's first element,
// `past` makes the last thread write one element beyond the end.
__global__ void fillKernel(double* __restrict__ out, unsigned count, bool overlap, bool past) {
    const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
    if (overlap && threadIdx.x == 0 && i + blockDim.x < count) {
        out[i + blockDim.x] = -1.0;
    }
    if (i < count) {
        out[i] = static_cast<double>(i);
    }
    if (past && i + 1 == count) {
        out[count] = 1.0;
    }
}

__global__ void copyKernel(const double* __restrict__ in, double* __restrict__ out) {
    out[threadIdx.x] = in[threadIdx.x];
}

class Checking : public Testing::CpuDeviceTest {
  protected:
    void SetUp() override {
        Testing::CpuDeviceTest::SetUp();
        wasChecking_ = CpuDevice::checking();
        CpuDevice::setChecking(true);
    }
    void TearDown() override {
        CpuDevice::setChecking(wasChecking_);
        Testing::CpuDeviceTest::TearDown();
    }

    // The launch's status and the fault it recorded.
    static std::pair<cudaError_t, std::string> outcome() {
        const cudaError_t status = cudaGetLastError();
        return {status, status == cudaSuccess ? std::string() : CpuDevice::lastKernelFault()};
    }

    TransformerCudaSession session{0};
    const TransformerCudaContext& context = session.context();

  private:
    bool wasChecking_ = false;
};

TEST_F(Checking, ARemovedBarrierInASharedReductionIsARace) {
    std::vector<double> host(4 * 64);
    for (std::size_t i = 0; i < host.size(); ++i) {
        host[i] = static_cast<double>(i % 7) + 0.5;
    }
    const auto in = uploadBuffer(context, host, "upload");
    DeviceBuffer<double> out(context, 4);
    launch<blockSumKernel<true>>(4, 64, 64 * sizeof(double), context.stream, in.get(), out.get());
    EXPECT_EQ(outcome(), std::pair(cudaSuccess, std::string()));
    launch<blockSumKernel<false>>(4, 64, 64 * sizeof(double), context.stream, in.get(), out.get());
    const auto [status, fault] = outcome();
    EXPECT_EQ(status, cudaErrorLaunchFailure);
    EXPECT_NE(fault.find("race in block (0, 0, 0) of 64 threads"), std::string::npos) << fault;
    EXPECT_NE(fault.find("of the allocation that argument 1 points into"), std::string::npos) << fault;
}

TEST_F(Checking, ARemovedBarrierOverAStaticSharedArrayIsARace) {
    const auto in = uploadBuffer(context, std::vector<double>(64, 1.5), "upload");
    DeviceBuffer<double> out(context, 1);
    launch<blockSumKernel<true, true>>(1, 64, 0, context.stream, in.get(), out.get());
    EXPECT_EQ(outcome(), std::pair(cudaSuccess, std::string()));
    launch<blockSumKernel<false, true>>(1, 64, 0, context.stream, in.get(), out.get());
    const auto [status, fault] = outcome();
    EXPECT_EQ(status, cudaErrorLaunchFailure);
    EXPECT_NE(fault.find("race in block (0, 0, 0) of 64 threads"), std::string::npos) << fault;
}

TEST_F(Checking, TwoBlocksWritingOneElementIsARace) {
    DeviceBuffer<double> out(context, 256);
    launch<fillKernel>(4, 64, 0, context.stream, out.get(), 256u, false, false);
    EXPECT_EQ(outcome().first, cudaSuccess);
    launch<fillKernel>(4, 64, 0, context.stream, out.get(), 256u, true, false);
    const auto [status, fault] = outcome();
    EXPECT_EQ(status, cudaErrorLaunchFailure);
    EXPECT_NE(fault.find("global-memory race: block (0, 0, 0) and block (1, 0, 0) both write byte 51"),
              std::string::npos)
        << fault;
    EXPECT_NE(fault.find("of the allocation that argument 0 points into"), std::string::npos) << fault;
}

TEST_F(Checking, ReadsOfUnwrittenMemoryFailTheLaunchAndTheDownload) {
    DeviceBuffer<double> in(context, 8);
    DeviceBuffer<double> out(context, 8);
    launch<copyKernel>(1, 8, 0, context.stream, in.get(), out.get());
    auto [status, fault] = outcome();
    EXPECT_EQ(status, cudaErrorLaunchFailure);
    EXPECT_NE(fault.find("uninitialised read:"), std::string::npos) << fault;
    std::vector<double> host(8);
    EXPECT_EQ(cudaMemcpyAsync(host.data(), out.get(), 8 * sizeof(double), cudaMemcpyDeviceToHost),
              cudaErrorInvalidValue);
    EXPECT_NE(CpuDevice::lastKernelFault().find("a copy to the host reads byte 0"), std::string::npos);
    (void)cudaGetLastError();
    // Written by a memset, the same launch and download pass.
    ASSERT_EQ(cudaMemsetAsync(in.get(), 0, 8 * sizeof(double)), cudaSuccess);
    launch<copyKernel>(1, 8, 0, context.stream, in.get(), out.get());
    EXPECT_EQ(outcome().first, cudaSuccess);
    EXPECT_EQ(cudaMemcpyAsync(host.data(), out.get(), 8 * sizeof(double), cudaMemcpyDeviceToHost), cudaSuccess);
}

// A result that depends on bytes nothing wrote, past the first element of an input or in shared
// memory, changes when those bytes hold another pattern.
TEST_F(Checking, ResultsThatDependOnUnwrittenBytesAreUninitialisedReads) {
    DeviceBuffer<double> in(context, 8);
    DeviceBuffer<double> out(context, 8);
    const std::vector<double> half = {1, 2, 3, 4};
    ASSERT_EQ(cudaMemcpyAsync(in.get(), half.data(), 4 * sizeof(double), cudaMemcpyHostToDevice), cudaSuccess);
    launch<copyKernel>(1, 8, 0, context.stream, in.get(), out.get());
    auto [status, fault] = outcome();
    EXPECT_EQ(status, cudaErrorLaunchFailure);
    EXPECT_NE(fault.find("uninitialised read: the result of block (0, 0, 0) depends on device memory nothing "
                         "has written; byte 32 of the allocation that argument 1 points into"),
              std::string::npos)
        << fault;

    ASSERT_EQ(cudaMemsetAsync(in.get(), 0, 8 * sizeof(double)), cudaSuccess);
    launch<rotateKernel>(1, 8, 8 * sizeof(double), context.stream, in.get(), out.get(), false);
    EXPECT_EQ(outcome(), std::pair(cudaSuccess, std::string()));
    launch<rotateKernel>(1, 8, 8 * sizeof(double), context.stream, in.get(), out.get(), true);
    std::tie(status, fault) = outcome();
    EXPECT_EQ(status, cudaErrorLaunchFailure);
    EXPECT_NE(fault.find("depends on shared memory its threads have not written; byte 48 of the allocation that "
                         "argument 1 points into is 0xff when unwritten bytes hold 0xff and 0x7f"),
              std::string::npos)
        << fault;
}

// With or without checks, as a GPU would fail it.
TEST_F(Checking, AWriteOnePastTheEndIsAnIllegalAddress) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the guard zones are poisoned, so AddressSanitizer reports the write first";
#else
    for (const bool checks : {true, false}) {
        CpuDevice::setChecking(checks);
        DeviceBuffer<double> out(context, 100);
        launch<fillKernel>(2, 64, 0, context.stream, out.get(), 100u, false, true);
        const auto [status, fault] = outcome();
        EXPECT_EQ(status, cudaErrorIllegalAddress) << checks;
        EXPECT_NE(fault.find("out-of-bounds write: byte 800 of the guard zone around the allocation of 800 bytes"),
                  std::string::npos)
            << fault;
    }
#endif
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
