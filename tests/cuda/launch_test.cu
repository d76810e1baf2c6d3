// Kernels through the launch helper and the device layer, on whichever backend the build has: block
// reductions over static and dynamic shared memory up to the block's limit, index variables over
// 3-D grids, the launch configurations CUDA refuses, atomics across blocks, and the trainer's rounding
// of doubles to bfloat16 and widening of floats.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <tuple>
#include <vector>

#include "cuda/device_transfers.h"
#include "cuda/launch.h"
#include "cuda/trainer/device_elementwise.h"
#include "cuda/transformer_cuda_session.h"
#include "support/expect_throw.h"
#if !defined(VESTRA_DEVICE_CUDA)
#include "support/cpu_device_test.h"
#endif

namespace Halcyne::Core::Vestra {
namespace {

constexpr unsigned kStaticBlock = 256;
constexpr std::size_t kStaticBytes = kStaticBlock * sizeof(double);
constexpr std::size_t kSharedLimit = 49152;

// Tree reduction of one block's slice; blockDim.x must be a power of two.
__device__ double reduceBlock(double* cache, double value) {
    const unsigned lane = threadIdx.x;
    cache[lane] = value;
    __syncthreads();
    for (unsigned stride = blockDim.x / 2; stride > 0; stride /= 2) {
        if (lane < stride) {
            cache[lane] += cache[lane + stride];
        }
        __syncthreads();
    }
    return cache[0];
}

// One sum per block, over static shared memory (block of kStaticBlock) or dynamic shared memory.
template <bool Dynamic>
__global__ void sumKernel(const double* __restrict__ values,  // [count]
                          std::uint64_t count,
                          double* __restrict__ sums) {  // [blocks]
    double* cache = nullptr;
    if constexpr (Dynamic) {
        cache = dynamicSharedMemory<double>();
    } else {
        VESTRA_SHARED_ARRAY(double, staticCache, kStaticBlock);
        cache = staticCache;
    }
    const std::uint64_t i = std::uint64_t{blockIdx.x} * blockDim.x + threadIdx.x;
    const double total = reduceBlock(cache, i < count ? values[i] : 0.0);
    if (threadIdx.x == 0) {
        sums[blockIdx.x] = total;
    }
}
VESTRA_STATIC_SHARED_BYTES(sumKernel<false>, kStaticBytes);

// Every thread of a 3-D launch writes its own global linear index at that index.
__global__ void coordinatesKernel(std::uint32_t* __restrict__ out) {  // [all threads]
    const std::uint32_t block = blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z);
    const std::uint32_t thread = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
    const std::uint32_t linear = block * (blockDim.x * blockDim.y * blockDim.z) + thread;
    out[linear] = linear;
}

// Thread i raises bit i / 4 % 31 of word i % 4 and records whether it was up already: of the threads
// that share a bit, exactly one finds it down.
__global__ void raiseBitsKernel(int* __restrict__ words,              // [4]
                                std::uint32_t* __restrict__ foundUp,  // [count]
                                std::uint64_t count) {
    const std::uint64_t i = std::uint64_t{blockIdx.x} * blockDim.x + threadIdx.x;
    if (i >= count) {
        return;
    }
    const int bit = 1 << (i / 4 % 31);
    foundUp[i] = (atomicOr(&words[i % 4], bit) & bit) != 0 ? 1 : 0;
}

class Launch : public ::testing::Test {
  protected:
    TransformerCudaSession session{0};
    const TransformerCudaContext& context = session.context();
};

// The static shared memory counts against the block's limit: the static kernel may take the rest as
// dynamic shared memory, and not one byte more.
TEST_F(Launch, BlockReductionsOverStaticAndDynamicSharedMemoryUpToTheLimit) {
    cudaFuncAttributes attributes{};
    ASSERT_EQ(cudaFuncGetAttributes(&attributes, sumKernel<false>), cudaSuccess);
    EXPECT_EQ(attributes.sharedSizeBytes, kStaticBytes);
    EXPECT_EQ(static_cast<std::size_t>(attributes.maxDynamicSharedSizeBytes), kSharedLimit - kStaticBytes);
    using Shape = std::tuple<std::uint64_t, unsigned, bool, std::size_t>;  // count, block, dynamic, shared bytes
    for (const auto& [count, block, dynamic, sharedBytes] :
         {Shape{1, 256, false, 0}, Shape{5000, 256, false, kSharedLimit - kStaticBytes}, Shape{1, 1, true, 8},
          Shape{3, 2, true, 16}, Shape{3000, 1024, true, 8192}}) {
        SCOPED_TRACE(::testing::Message()
                     << "count " << count << ", block " << block << ", " << sharedBytes << " bytes");
        // Integer-valued inputs keep every partial sum exact, so any summation order gives the same value.
        std::vector<double> host(count);
        std::vector<double> expected(blocksFor(count, block), 0.0);
        for (std::uint64_t i = 0; i < count; ++i) {
            host[i] = static_cast<double>(i % 97) - 48.0;
            expected[i / block] += host[i];
        }
        const auto values = uploadBuffer(context, host, "upload values");
        DeviceBuffer<double> sums(context, expected.size());
        if (dynamic) {
            launch<sumKernel<true>>(blocksFor(count, block), block, sharedBytes, context.stream, values.get(), count,
                                    sums.get());
        } else {
            launch<sumKernel<false>>(blocksFor(count, block), block, sharedBytes, context.stream, values.get(), count,
                                     sums.get());
        }
        checkKernels("sum kernel");
        std::vector<double> result(expected.size());
        download(context, result, sums, "download sums");
        synchronize(context, "synchronize sums");
        EXPECT_EQ(result, expected);
    }
    DeviceBuffer<double> sum(context, 1);
    launch<sumKernel<false>>(1, kStaticBlock, kSharedLimit - kStaticBytes + 1, context.stream, sum.get(),
                             std::uint64_t{0}, sum.get());
    Testing::expectThrowWithMessage<TransformerCudaError>([] { checkKernels("sum kernel"); },
                                                          "sum kernel: invalid argument");
}

// The refused configurations come first: each is consumed by its check, so the valid launches after
// them check clean, the last with all the shared memory a block may have.
TEST_F(Launch, GridsIndexEveryThreadAndRefusedConfigurationsSurfaceAtTheKernelCheck) {
    int sharedLimit = 0;
    ASSERT_EQ(cudaDeviceGetAttribute(&sharedLimit, cudaDevAttrMaxSharedMemoryPerBlock, 0), cudaSuccess);
    EXPECT_EQ(sharedLimit, 49152);
    const auto limit = static_cast<std::size_t>(sharedLimit);
    struct Case {
        dim3 grid;
        dim3 block;
        std::size_t shared;
        const char* error;  // nullptr for a valid launch
    };
    for (const Case& c : {
             Case{1, 1025, 0, "coordinates kernel: invalid configuration argument"},
             Case{1, dim3(32, 32, 2), 0, "coordinates kernel: invalid configuration argument"},
             Case{0, 256, 0, "coordinates kernel: invalid configuration argument"},
             Case{1, 256, limit + 1, "coordinates kernel: invalid argument"},
             Case{dim3(3, 2, 2), dim3(4, 3, 2), 0, nullptr},
             Case{dim3(5, 1, 3), dim3(1, 1, 64), limit, nullptr},
         }) {
        const std::uint64_t count = std::uint64_t{c.grid.x} * c.grid.y * c.grid.z * c.block.x * c.block.y * c.block.z;
        DeviceBuffer<std::uint32_t> out(context, count);
        launch<coordinatesKernel>(c.grid, c.block, c.shared, context.stream, out.get());
        if (c.error != nullptr) {
            Testing::expectThrowWithMessage<TransformerCudaError>(
                [] { checkKernels("coordinates kernel"); }, c.error,
                [](const TransformerCudaError& error) { EXPECT_EQ(error.kind, TransformerCudaErrorKind::Runtime); });
            continue;
        }
        checkKernels("coordinates kernel");
        std::vector<std::uint32_t> result(count);
        download(context, result, out, "download coordinates");
        synchronize(context, "synchronize coordinates");
        std::vector<std::uint32_t> expected(count);
        std::iota(expected.begin(), expected.end(), 0u);
        EXPECT_EQ(result, expected);
    }
}

// A count that needs more blocks than a grid may have gives the grid of 0 blocks that CUDA refuses
// (see above), never a truncated one (2^32 + 1 blocks would otherwise launch 1).
TEST_F(Launch, BlockCountsBeyondTheGridLimitGiveTheGridCudaRefuses) {
    constexpr std::uint64_t kLargest = kMaxGridBlocks * 256;
    EXPECT_EQ(blocksFor(kLargest, 256), kMaxGridBlocks);
    EXPECT_EQ(blocksFor(kLargest + 1, 256), 0u);
    EXPECT_EQ(blocksFor((std::uint64_t{1} << 32) + 1, 1), 0u);
    EXPECT_EQ(blocksFor(~std::uint64_t{0}, 1024), 0u);
}

// Enough threads that the CPU device spreads the blocks over its host threads. Which thread finds
// a bit clear depends on the schedule, so the CPU device's race checks stay off.
TEST_F(Launch, AtomicOrHandsEachBitToOneThreadAcrossBlocks) {
#if !defined(VESTRA_DEVICE_CUDA)
    const Testing::UncheckedScope unchecked;
#endif
    constexpr std::uint64_t kThreads = std::uint64_t{1} << 16;
    DeviceBuffer<int> words(context, 4);
    clear(context, words, "clear words");
    DeviceBuffer<std::uint32_t> foundUp(context, kThreads);
    launch<raiseBitsKernel>(blocksFor(kThreads, 256), 256, 0, context.stream, words.get(), foundUp.get(), kThreads);
    checkKernels("raise bits kernel");
    std::vector<int> raised(4);
    std::vector<std::uint32_t> found(kThreads);
    download(context, raised, words, "download words");
    download(context, found, foundUp, "download found");
    synchronize(context, "synchronize bits");
    EXPECT_EQ(raised, std::vector<int>(4, 0x7FFFFFFF));
    EXPECT_EQ(std::count(found.begin(), found.end(), 0u), 4 * 31);
}

// The trainer's bfloat16 conversion decides on the double itself: through float, 1 + 2^-8 + 2^-30
// would become the tie 1 + 2^-8 and go down to even. Each element has its own exponent, so that an
// element converted into another's place shows; 257 elements end in a partial block (one element
// per thread) or a partial run (on the CPU device).
TEST_F(Launch, DoubleToBfloat16RoundsEachDoubleToNearestEven) {
    std::vector<double> values(257);
    std::vector<std::uint16_t> expected(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        const int exponent = static_cast<int>(i % 200) - 100;
        values[i] = std::ldexp(1.0 + 0x1p-8 + 0x1p-30, exponent);
        expected[i] = static_cast<std::uint16_t>((127 + exponent) << 7 | 1);
    }
    values[0] = 1.0 + 0x1p-8;
    values[1] = 1.0 + 3 * 0x1p-8;
    expected[0] = 0x3F80;  // the ties go to even
    expected[1] = 0x3F82;
    const auto input = uploadBuffer(context, values, "upload doubles");
    DeviceBuffer<bfloat16> output(context, values.size());
    launchDoubleToBfloat16(context, input.get(), output.get(), values.size());
    checkKernels("bfloat16 conversion kernel");
    std::vector<bfloat16> result(values.size());
    download(context, result, output, "download bfloat16");
    synchronize(context, "synchronize bfloat16");
    std::vector<std::uint16_t> bits(values.size());
    std::transform(result.begin(), result.end(), bits.begin(),
                   [](bfloat16 value) { return std::bit_cast<std::uint16_t>(value); });
    EXPECT_EQ(bits, expected);
}

TEST_F(Launch, FloatToDoubleWidensEachElementInPlace) {
    std::vector<float> values(257);
    std::iota(values.begin(), values.end(), 0.5f);
    const auto input = uploadBuffer(context, values, "upload floats");
    DeviceBuffer<double> output(context, values.size());
    launchFloatToDouble(context, input.get(), output.get(), values.size());
    checkKernels("float widening kernel");
    std::vector<double> result(values.size());
    download(context, result, output, "download doubles");
    synchronize(context, "synchronize doubles");
    EXPECT_EQ(result, std::vector<double>(values.begin(), values.end()));
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
