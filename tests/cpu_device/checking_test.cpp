// Checking mode finds the faults a GPU run would hide: each case plants one bug in a small kernel and
// expects the launch to fail with the fault named, its text opening with the kernel's name; the same
// kernels without the bug run clean and leave no fault behind.
#include <gtest/gtest.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
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

// Each half of the block fills its half of shared memory and reads the other half back; the barrier
// between must be one place that every thread reaches, not one in each branch.
template <bool kBarrierPerBranch>
__global__ void swapHalvesKernel(double* __restrict__ out) {  // [blockDim.x]
    double* cache = dynamicSharedMemory<double>();
    const unsigned half = blockDim.x / 2;
    if (threadIdx.x < half) {
        cache[threadIdx.x] = 1.0;
        if (kBarrierPerBranch) {
            __syncthreads();
        }
    } else {
        cache[threadIdx.x] = 2.0;
        if (kBarrierPerBranch) {
            __syncthreads();
        }
    }
    if (!kBarrierPerBranch) {
        __syncthreads();
    }
    out[threadIdx.x] = cache[(threadIdx.x + half) % blockDim.x];
}

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

// Sets bit t of flags[block] where thread t of the block finds a negative input. The threads of a
// block share one word, so only an atomic update keeps every bit.
template <bool kAtomic>
__global__ void negativeFlagsKernel(int* __restrict__ flags,              // [blocks]
                                    const double* __restrict__ values) {  // [blocks, 32]
    if (values[blockIdx.x * blockDim.x + threadIdx.x] < 0.0) {
        const int bit = 1 << threadIdx.x;
        if constexpr (kAtomic) {
            (void)atomicOr(&flags[blockIdx.x], bit);
        } else {
            flags[blockIdx.x] |= bit;
        }
    }
}

// Adds to each element the last input of the block before. The carry comes from the input: nothing
// orders another block's writes to the output before this block reads them.
template <bool kCarryFromOutput>
__global__ void carryKernel(double* __restrict__ out,         // [blocks, blockDim.x]
                            const double* __restrict__ in) {  // [blocks, blockDim.x]
    const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
    const double* carrySource = kCarryFromOutput ? out : in;
    out[i] = in[i] + (blockIdx.x > 0 ? carrySource[blockIdx.x * blockDim.x - 1] : 0.0);
}

__global__ void scaleInPlaceKernel(double* __restrict__ x, unsigned count) {  // [count]
    const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= count) {
        return;
    }
    x[i] = x[i] * 2.0;
}

// Column sums accumulated with +=: the caller clears `sums` first.
__global__ void accumulateKernel(std::int64_t* __restrict__ sums,      // [blockDim.x]
                                 const std::int64_t* __restrict__ in,  // [rows, blockDim.x]
                                 unsigned rows) {
    for (unsigned row = 0; row < rows; ++row) {
        sums[threadIdx.x] += in[row * blockDim.x + threadIdx.x];
    }
}

// A three-point average whose ends average over the neighbours they have; each flag keeps the
// bounds check of one end. Signed indices, so that a missing check reads next to the row.
template <bool kCheckLeft, bool kCheckRight>
__global__ void smoothKernel(double* __restrict__ out,       // [count]
                             const double* __restrict__ in,  // [count]
                             int count) {
    const int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    if (i >= count) {
        return;
    }
    const double left = kCheckLeft && i == 0 ? in[i] : in[i - 1];
    const double right = kCheckRight && i + 1 == count ? in[i] : in[i + 1];
    out[i] = (left + in[i] + right) / 3.0;
}

// Adds to each element its left neighbour through shared memory; without the check, thread 0 reads
// the slot before the block's shared memory.
template <bool kCheckFirst>
__global__ void leftSumKernel(double* __restrict__ out,         // [blockDim.x]
                              const double* __restrict__ in) {  // [blockDim.x]
    double* cache = dynamicSharedMemory<double>();
    const int i = static_cast<int>(threadIdx.x);
    cache[i] = in[i];
    __syncthreads();
    out[i] = cache[i] + (kCheckFirst && i == 0 ? 0.0 : cache[i - 1]);
}

// The operands of a kernel passed as one struct, as kernels with many operands take them.
struct Operands {
    const double* in;  // [count]
    double* out;       // [count]
    unsigned count;
};

// out[i] = 2 in[i]; `kHalvedIndex` slips the output index so that two threads share each element.
template <bool kHalvedIndex>
__global__ void doubleKernel(Operands operands) {
    const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= operands.count) {
        return;
    }
    operands.out[kHalvedIndex ? i / 2 : i] = 2.0 * operands.in[i];
}

// Writes values whose bytes are the patterns unwritten memory holds: all ones, and `probe`'s.
__global__ void patternKernel(std::int64_t* __restrict__ minusOne,  // [blockDim.x]
                              std::uint64_t* __restrict__ allOnes,  // [blockDim.x]
                              unsigned char* __restrict__ bytes,    // [blockDim.x]
                              double* __restrict__ probe,           // [blockDim.x]
                              double probeValue) {
    minusOne[threadIdx.x] = -1;
    allOnes[threadIdx.x] = ~std::uint64_t{0};
    bytes[threadIdx.x] = 0xFF;
    probe[threadIdx.x] = probeValue;
}

using Outcome = std::pair<cudaError_t, std::string>;

// Whether `got` is `status` with a fault that opens with "<kernel>: " (any opening for an empty
// kernel) and holds every part.
::testing::AssertionResult failedWith(const Outcome& got, cudaError_t status, std::string_view kernel,
                                      std::initializer_list<std::string_view> parts) {
    const auto& [error, fault] = got;
    if (error != status) {
        return ::testing::AssertionFailure() << "status " << cudaGetErrorString(error) << ", fault: " << fault;
    }
    if (!kernel.empty() && !fault.starts_with(std::string(kernel) + ": ")) {
        return ::testing::AssertionFailure() << "the fault does not open with \"" << kernel << ": \": " << fault;
    }
    for (const std::string_view part : parts) {
        if (fault.find(part) == std::string::npos) {
            return ::testing::AssertionFailure() << "no \"" << part << "\" in: " << fault;
        }
    }
    return ::testing::AssertionSuccess();
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

    // The last launch's status and the fault the device holds after it: none after a success.
    static Outcome outcome() {
        const cudaError_t status = cudaGetLastError();
        return {status, CpuDevice::lastKernelFault()};
    }
    // The same for a runtime call that returned `status`.
    static Outcome outcome(cudaError_t status) {
        (void)cudaGetLastError();
        return {status, CpuDevice::lastKernelFault()};
    }
    inline static const Outcome kClean{cudaSuccess, std::string()};

    template <class T>
    cudaError_t copyIn(DeviceBuffer<T>& device, const std::vector<T>& host, std::size_t count) {
        return cudaMemcpyAsync(device.get(), host.data(), count * sizeof(T), cudaMemcpyHostToDevice, context.stream);
    }
    template <class T>
    cudaError_t copyOut(std::vector<T>& host, const DeviceBuffer<T>& device) {
        return cudaMemcpyAsync(host.data(), device.get(), device.bytes(), cudaMemcpyDeviceToHost, context.stream);
    }

    TransformerCudaSession session{0};
    const TransformerCudaContext& context = session.context();

  private:
    bool wasChecking_ = false;
};

// With or without checks, as a GPU would fail it.
TEST_F(Checking, BarriersInBothBranchesOfAnIfAreDivergent) {
    for (const bool checks : {true, false}) {
        SCOPED_TRACE(checks);
        CpuDevice::setChecking(checks);
        DeviceBuffer<double> out(context, 8);
        launch<swapHalvesKernel<false>>(1, 8, 8 * sizeof(double), context.stream, out.get());
        EXPECT_EQ(outcome(), kClean);
        launch<swapHalvesKernel<true>>(1, 8, 8 * sizeof(double), context.stream, out.get());
        EXPECT_TRUE(failedWith(outcome(), cudaErrorLaunchFailure, "swapHalvesKernel<true>",
                               {"divergent barrier in block (0, 0, 0)", "__syncthreads at"}));
    }
}

TEST_F(Checking, ARemovedBarrierInASharedReductionIsARace) {
    std::vector<double> host(4 * 64);
    for (std::size_t i = 0; i < host.size(); ++i) {
        host[i] = static_cast<double>(i % 7) + 0.5;
    }
    const auto in = uploadBuffer(context, host, "upload");
    DeviceBuffer<double> out(context, 4);
    launch<blockSumKernel<true>>(4, 64, 64 * sizeof(double), context.stream, in.get(), out.get());
    EXPECT_EQ(outcome(), kClean);
    launch<blockSumKernel<false>>(4, 64, 64 * sizeof(double), context.stream, in.get(), out.get());
    EXPECT_TRUE(failedWith(outcome(), cudaErrorLaunchFailure, "blockSumKernel<false>",
                           {"race in block (0, 0, 0) of 64 threads", "of the allocation that argument 1 points into"}));

    const auto ones = uploadBuffer(context, std::vector<double>(64, 1.5), "upload");
    launch<blockSumKernel<true, true>>(1, 64, 0, context.stream, ones.get(), out.get());
    EXPECT_EQ(outcome(), kClean);
    launch<blockSumKernel<false, true>>(1, 64, 0, context.stream, ones.get(), out.get());
    EXPECT_TRUE(failedWith(outcome(), cudaErrorLaunchFailure, "blockSumKernel<false, true>",
                           {"race in block (0, 0, 0) of 64 threads"}));
}

// Every order of the threads leaves the same word behind, yet a GPU may lose bits between a
// thread's read and its write.
TEST_F(Checking, ThreadsUpdatingOneWordWithoutAnAtomicRace) {
    std::vector<double> values(2 * 32, 1.0);
    for (const std::size_t negative : {3, 4, 17, 40}) {
        values[negative] = -1.0;
    }
    const auto in = uploadBuffer(context, values, "upload");
    const auto flags = clearedBuffer<int>(context, 2, "clear flags");
    launch<negativeFlagsKernel<true>>(2, 32, 0, context.stream, flags.get(), in.get());
    EXPECT_EQ(outcome(), kClean);
    ASSERT_EQ(cudaMemsetAsync(flags.get(), 0, 2 * sizeof(int), context.stream), cudaSuccess);
    launch<negativeFlagsKernel<false>>(2, 32, 0, context.stream, flags.get(), in.get());
    EXPECT_TRUE(failedWith(
        outcome(), cudaErrorLaunchFailure, "negativeFlagsKernel<false>",
        {"global-memory race in block (0, 0, 0): thread (", "both write byte", "with no barrier between them"}));
}

TEST_F(Checking, BlocksSharingBytesWithinOneLaunchRace) {
    DeviceBuffer<double> out(context, 256);
    launch<fillKernel>(4, 64, 0, context.stream, out.get(), 256u, false, false);
    EXPECT_EQ(outcome(), kClean);
    launch<fillKernel>(4, 64, 0, context.stream, out.get(), 256u, true, false);
    EXPECT_TRUE(failedWith(outcome(), cudaErrorLaunchFailure, "fillKernel",
                           {"global-memory race: block (0, 0, 0) and block (1, 0, 0) both write byte 51",
                            "of the allocation that argument 0 points into"}));

    const auto in = uploadBuffer(context, std::vector<double>(256, 0.5), "upload");
    launch<carryKernel<false>>(4, 64, 0, context.stream, out.get(), in.get());
    EXPECT_EQ(outcome(), kClean);
    launch<carryKernel<true>>(4, 64, 0, context.stream, out.get(), in.get());
    EXPECT_TRUE(failedWith(outcome(), cudaErrorLaunchFailure, "carryKernel<true>",
                           {"global-memory race: thread (0, 0, 0) of block (", "reads byte", "which block (",
                            "writes in the same launch"}));
}

TEST_F(Checking, ReadsOfUnwrittenMemoryFailTheLaunchAndTheDownload) {
    DeviceBuffer<double> in(context, 8);
    DeviceBuffer<double> out(context, 8);
    launch<copyKernel>(1, 8, 0, context.stream, in.get(), out.get());
    EXPECT_TRUE(failedWith(outcome(), cudaErrorLaunchFailure, "copyKernel", {"uninitialised read:"}));
    std::vector<double> host(8);
    EXPECT_TRUE(failedWith(outcome(copyOut(host, in)), cudaErrorInvalidValue, "", {"a copy to the host reads byte 0"}));
    // Written by a memset, the same launch and download pass.
    ASSERT_EQ(cudaMemsetAsync(in.get(), 0, 8 * sizeof(double), context.stream), cudaSuccess);
    launch<copyKernel>(1, 8, 0, context.stream, in.get(), out.get());
    EXPECT_EQ(outcome(), kClean);
    EXPECT_EQ(copyOut(host, out), cudaSuccess);
}

// Past the first element of an input, or in shared memory, the read is named by thread and byte.
TEST_F(Checking, ReadsOfUnwrittenBytesNameTheThreadAndTheByte) {
    DeviceBuffer<double> in(context, 8);
    DeviceBuffer<double> out(context, 8);
    ASSERT_EQ(copyIn(in, std::vector<double>{1, 2, 3, 4}, 4), cudaSuccess);
    launch<copyKernel>(1, 8, 0, context.stream, in.get(), out.get());
    EXPECT_TRUE(failedWith(outcome(), cudaErrorLaunchFailure, "copyKernel",
                           {"uninitialised read: thread (4, 0, 0) of block (0, 0, 0) reads byte 32 of the allocation "
                            "that argument 0 points into, which nothing has written"}));

    ASSERT_EQ(cudaMemsetAsync(in.get(), 0, 8 * sizeof(double), context.stream), cudaSuccess);
    launch<rotateKernel>(1, 8, 8 * sizeof(double), context.stream, in.get(), out.get(), false);
    EXPECT_EQ(outcome(), kClean);
    launch<rotateKernel>(1, 8, 8 * sizeof(double), context.stream, in.get(), out.get(), true);
    EXPECT_TRUE(failedWith(outcome(), cudaErrorLaunchFailure, "rotateKernel",
                           {"uninitialised read: thread (6, 0, 0) of block (0, 0, 0) reads byte 56 of dynamic shared "
                            "memory, which its threads have not written"}));
}

// A pointer the kernel may write through is read too: an in-place update and an accumulator.
TEST_F(Checking, ReadsThroughWritablePointersOfUnwrittenBytesAreUninitialisedReads) {
    const std::vector<double> values(16, 1.5);
    DeviceBuffer<double> x(context, 16);
    ASSERT_EQ(copyIn(x, values, 8), cudaSuccess);
    launch<scaleInPlaceKernel>(1, 16, 0, context.stream, x.get(), 16u);
    EXPECT_TRUE(failedWith(outcome(), cudaErrorLaunchFailure, "scaleInPlaceKernel",
                           {"uninitialised read: thread (", "reads byte", "which nothing has written"}));
    ASSERT_EQ(copyIn(x, values, 16), cudaSuccess);
    launch<scaleInPlaceKernel>(1, 16, 0, context.stream, x.get(), 16u);
    EXPECT_EQ(outcome(), kClean);

    const auto in = uploadBuffer(context, std::vector<std::int64_t>(4 * 32, 3), "upload");
    DeviceBuffer<std::int64_t> sums(context, 32);
    launch<accumulateKernel>(1, 32, 0, context.stream, sums.get(), in.get(), 4u);
    EXPECT_TRUE(failedWith(outcome(), cudaErrorLaunchFailure, "accumulateKernel",
                           {"uninitialised read: thread (", "reads byte", "which nothing has written"}));
    const auto cleared = clearedBuffer<std::int64_t>(context, 32, "clear sums");
    launch<accumulateKernel>(1, 32, 0, context.stream, cleared.get(), in.get(), 4u);
    EXPECT_EQ(outcome(), kClean);
}

// A product reads all of A, not only its first element.
TEST_F(Checking, AGemmOperandWithAnUnwrittenColumnIsAnUninitialisedRead) {
    constexpr int m = 3;
    constexpr int n = 2;
    constexpr int k = 4;
    const std::vector<double> a(m * k, 0.25);
    const auto b = uploadBuffer(context, std::vector<double>(k * n, 2.0), "upload B");
    DeviceBuffer<double> deviceA(context, m * k);
    DeviceBuffer<double> c(context, m * n);
    ASSERT_EQ(copyIn(deviceA, a, m * (k - 1)), cudaSuccess);
    const double one = 1.0;
    const double zero = 0.0;
    const auto gemm = [&] {
        return cublasDgemm_v2(context.cublas, CUBLAS_OP_N, CUBLAS_OP_N, m, n, k, &one, deviceA.get(), m, b.get(), k,
                              &zero, c.get(), m);
    };
    EXPECT_EQ(gemm(), CUBLAS_STATUS_EXECUTION_FAILED);
    EXPECT_NE(CpuDevice::lastKernelFault().find(
                  "uninitialised read: a GEMM reads byte 72 of operand A, which nothing has written since allocation"),
              std::string::npos)
        << CpuDevice::lastKernelFault();
    ASSERT_EQ(copyIn(deviceA, a, m * k), cudaSuccess);
    EXPECT_EQ(gemm(), CUBLAS_STATUS_SUCCESS);
    std::vector<double> result(m * n);
    EXPECT_EQ(copyOut(result, c), cudaSuccess);
    EXPECT_EQ(result, std::vector<double>(m * n, 2.0));
}

// With or without checks, as a GPU would fail it. (Unchecked, AddressSanitizer finds the guard zones
// poisoned and reports the write first; a checked launch exposes them and reports it itself.)
TEST_F(Checking, AWriteOnePastTheEndIsAnIllegalAddress) {
#if defined(__SANITIZE_ADDRESS__)
    for (const bool checks : {true}) {
#else
    for (const bool checks : {true, false}) {
#endif
        CpuDevice::setChecking(checks);
        DeviceBuffer<double> out(context, 100);
        launch<fillKernel>(2, 64, 0, context.stream, out.get(), 100u, false, true);
        EXPECT_TRUE(failedWith(outcome(), cudaErrorIllegalAddress, "fillKernel",
                               {checks ? "out-of-bounds write: thread (35, 0, 0) of block (1, 0, 0) writes byte 0 past "
                                         "the end of the allocation of 800 bytes that argument 0 points into"
                                       : "out-of-bounds write: byte 800 of the guard zone around the allocation of "
                                         "800 bytes"}))
            << checks;
    }
}

TEST_F(Checking, AccessesOutsideTheirMemoryAreIllegalAddresses) {
    const auto in = uploadBuffer(context, std::vector<double>(100, 3.0), "upload");
    DeviceBuffer<double> out(context, 100);
    launch<smoothKernel<true, true>>(2, 64, 0, context.stream, out.get(), in.get(), 100);
    EXPECT_EQ(outcome(), kClean);
    launch<smoothKernel<false, true>>(2, 64, 0, context.stream, out.get(), in.get(), 100);
    EXPECT_TRUE(failedWith(outcome(), cudaErrorIllegalAddress, "smoothKernel<false, true>",
                           {"out-of-bounds read: thread (", "before the start of the allocation of"}));
    launch<smoothKernel<true, false>>(2, 64, 0, context.stream, out.get(), in.get(), 100);
    EXPECT_TRUE(failedWith(outcome(), cudaErrorIllegalAddress, "smoothKernel<true, false>",
                           {"out-of-bounds read: thread (", "past the end of the allocation of"}));
    launch<leftSumKernel<true>>(1, 64, 64 * sizeof(double), context.stream, out.get(), in.get());
    EXPECT_EQ(outcome(), kClean);
    launch<leftSumKernel<false>>(1, 64, 64 * sizeof(double), context.stream, out.get(), in.get());
    EXPECT_TRUE(failedWith(outcome(), cudaErrorIllegalAddress, "leftSumKernel<false>",
                           {"out-of-bounds read: thread (0, 0, 0) of block (0, 0, 0) reads byte ",
                            "before the start of the block's 512 bytes of shared memory"}));
    // Shared memory one element short of the block: the last thread writes past it.
    launch<rotateKernel>(1, 8, 8 * sizeof(double), context.stream, in.get(), out.get(), false);
    EXPECT_EQ(outcome(), kClean);
    launch<rotateKernel>(1, 8, 7 * sizeof(double), context.stream, in.get(), out.get(), false);
    EXPECT_TRUE(failedWith(outcome(), cudaErrorIllegalAddress, "rotateKernel",
                           {"out-of-bounds write: thread (", "past the end of the block's", "bytes of shared memory"}));
}

// Pageable host memory is out of a GPU kernel's reach; page-locked memory from cudaMallocHost is not.
TEST_F(Checking, AKernelGivenAHostPointerIsRefused) {
    const std::vector<double> host(8, 1.5);
    DeviceBuffer<double> out(context, 8);
    launch<copyKernel>(1, 8, 0, context.stream, host.data(), out.get());
    EXPECT_TRUE(failedWith(outcome(), cudaErrorIllegalAddress, "copyKernel",
                           {"argument 0 points to host memory, which a GPU kernel cannot reach"}));
    void* pinned = nullptr;
    ASSERT_EQ(cudaMallocHost(&pinned, 8 * sizeof(double)), cudaSuccess);
    std::memcpy(pinned, host.data(), 8 * sizeof(double));
    launch<copyKernel>(1, 8, 0, context.stream, static_cast<const double*>(pinned), out.get());
    EXPECT_EQ(outcome(), kClean);
    EXPECT_EQ(cudaFreeHost(pinned), cudaSuccess);
    EXPECT_EQ(cudaFreeHost(pinned), cudaErrorInvalidValue);
}

// Freed memory waits in quarantine while checking, so a stale pointer into it is still recognised.
TEST_F(Checking, AStalePointerIsAUseAfterFree) {
    constexpr std::size_t kBytes = 8 * sizeof(double);
    void* memory = nullptr;
    ASSERT_EQ(cudaMallocAsync(&memory, kBytes, context.stream), cudaSuccess);
    ASSERT_EQ(cudaMemsetAsync(memory, 0, kBytes, context.stream), cudaSuccess);
    ASSERT_EQ(cudaFreeAsync(memory, context.stream), cudaSuccess);
    auto* stale = static_cast<double*>(memory);
    launch<scaleInPlaceKernel>(1, 8, 0, context.stream, stale, 8u);
    EXPECT_TRUE(failedWith(outcome(), cudaErrorIllegalAddress, "scaleInPlaceKernel", {"use after free:"}));
    // Each call's own fault: the copies are told apart by the memset between them.
    std::vector<double> host(8, 1.0);
    EXPECT_TRUE(failedWith(outcome(cudaMemcpyAsync(stale, host.data(), kBytes, cudaMemcpyHostToDevice, context.stream)),
                           cudaErrorInvalidValue, "", {"use after free: cudaMemcpyAsync"}));
    EXPECT_TRUE(failedWith(outcome(cudaMemsetAsync(stale, 0, kBytes, context.stream)), cudaErrorInvalidValue, "",
                           {"use after free: cudaMemsetAsync"}));
    EXPECT_TRUE(failedWith(outcome(cudaMemcpyAsync(host.data(), stale, kBytes, cudaMemcpyDeviceToHost, context.stream)),
                           cudaErrorInvalidValue, "", {"use after free: cudaMemcpyAsync"}));
}

// Pointers inside a struct argument are watched like bare ones: what the kernel writes through them
// counts as written, and a race or an unwritten read through them is found.
TEST_F(Checking, PointersInsideAStructArgumentAreWatched) {
    std::vector<double> values(64);
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = 0.5 * static_cast<double>(i);
    }
    DeviceBuffer<double> in(context, 64);
    DeviceBuffer<double> out(context, 64);
    ASSERT_EQ(copyIn(in, values, 64), cudaSuccess);
    const Operands operands{in.get(), out.get(), 64};
    launch<doubleKernel<false>>(1, 64, 0, context.stream, operands);
    EXPECT_EQ(outcome(), kClean);
    std::vector<double> result(64);
    EXPECT_EQ(copyOut(result, out), cudaSuccess);
    launch<doubleKernel<true>>(1, 64, 0, context.stream, operands);
    EXPECT_TRUE(failedWith(outcome(), cudaErrorLaunchFailure, "doubleKernel<true>",
                           {"global-memory race in block (0, 0, 0): thread (",
                            "the allocation that a pointer inside argument 0 points into"}));

    DeviceBuffer<double> halfWritten(context, 64);
    ASSERT_EQ(copyIn(halfWritten, values, 32), cudaSuccess);
    launch<doubleKernel<false>>(1, 64, 0, context.stream, Operands{halfWritten.get(), out.get(), 64});
    EXPECT_TRUE(
        failedWith(outcome(), cudaErrorLaunchFailure, "doubleKernel<false>",
                   {"uninitialised read: thread (", "the allocation that a pointer inside argument 0 points into",
                    "which nothing has written"}));
}

// Written values may hold the fill patterns themselves; they count as written all the same.
TEST_F(Checking, WritesOfTheFillPatternsCountAsWritten) {
    DeviceBuffer<std::int64_t> minusOne(context, 8);
    DeviceBuffer<std::uint64_t> allOnes(context, 8);
    DeviceBuffer<unsigned char> bytes(context, 8);
    DeviceBuffer<double> probe(context, 8);
    const auto probeValue = std::bit_cast<double>(std::uint64_t{0x7F7F7F7F7F7F7F7F});
    launch<patternKernel>(1, 8, 0, context.stream, minusOne.get(), allOnes.get(), bytes.get(), probe.get(), probeValue);
    EXPECT_EQ(outcome(), kClean);
    std::vector<std::int64_t> minusOneHost(8);
    std::vector<std::uint64_t> allOnesHost(8);
    std::vector<unsigned char> bytesHost(8);
    std::vector<double> probeHost(8);
    EXPECT_EQ(copyOut(minusOneHost, minusOne), cudaSuccess);
    EXPECT_EQ(copyOut(allOnesHost, allOnes), cudaSuccess);
    EXPECT_EQ(copyOut(bytesHost, bytes), cudaSuccess);
    EXPECT_EQ(copyOut(probeHost, probe), cudaSuccess);
    EXPECT_EQ(minusOneHost, std::vector<std::int64_t>(8, -1));
    EXPECT_EQ(allOnesHost, std::vector<std::uint64_t>(8, ~std::uint64_t{0}));
    EXPECT_EQ(bytesHost, std::vector<unsigned char>(8, 0xFF));
    EXPECT_EQ(probeHost, std::vector<double>(8, probeValue));
}

TEST_F(Checking, ASuccessfulLaunchClearsTheLastFault) {
    const auto in = clearedBuffer<double>(context, 8, "clear");
    DeviceBuffer<double> out(context, 8);
    launch<rotateKernel>(1, 8, 8 * sizeof(double), context.stream, in.get(), out.get(), true);
    EXPECT_EQ(outcome().first, cudaErrorLaunchFailure);
    launch<rotateKernel>(1, 8, 8 * sizeof(double), context.stream, in.get(), out.get(), false);
    EXPECT_EQ(outcome(), kClean);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
