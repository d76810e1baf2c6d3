// Kernels through the launch helper and the device layer, on whichever backend the build has: block
// reductions over static and dynamic shared memory, index variables over 3-D grids, and the launch
// configurations CUDA refuses.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <tuple>
#include <vector>

#include "cuda/device_transfers.h"
#include "cuda/launch.h"
#include "cuda/transformer_cuda_session.h"
#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra {
namespace {

constexpr unsigned kStaticBlock = 256;

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
    __shared__ double staticCache[kStaticBlock];
    double* cache = Dynamic ? dynamicSharedMemory<double>() : staticCache;
    const std::uint64_t i = std::uint64_t{blockIdx.x} * blockDim.x + threadIdx.x;
    const double total = reduceBlock(cache, i < count ? values[i] : 0.0);
    if (threadIdx.x == 0) {
        sums[blockIdx.x] = total;
    }
}

// Every thread of a 3-D launch writes its own global linear index at that index.
__global__ void coordinatesKernel(std::uint32_t* __restrict__ out) {  // [all threads]
    const std::uint32_t block = blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z);
    const std::uint32_t thread = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
    const std::uint32_t linear = block * (blockDim.x * blockDim.y * blockDim.z) + thread;
    out[linear] = linear;
}

class Launch : public ::testing::Test {
  protected:
    TransformerCudaSession session{0};
    const TransformerCudaContext& context = session.context();
};

TEST_F(Launch, BlockReductionsOverStaticAndDynamicSharedMemory) {
    using Shape = std::tuple<std::uint64_t, unsigned, bool>;  // count, block, dynamic shared memory
    for (const auto& [count, block, dynamic] : {Shape{1, 256, false}, Shape{5000, 256, false}, Shape{1, 1, true},
                                                Shape{3, 2, true}, Shape{3000, 1024, true}}) {
        SCOPED_TRACE(::testing::Message() << "count " << count << ", block " << block);
        // Integer-valued inputs keep every partial sum exact, so any summation order gives the same value.
        std::vector<double> host(count);
        std::vector<double> expected(blocksFor(count, block), 0.0);
        for (std::uint64_t i = 0; i < count; ++i) {
            host[i] = static_cast<double>(i % 97) - 48.0;
            expected[i / block] += host[i];
        }
        const auto values = uploadBuffer(context, host, "upload values");
        DeviceBuffer<double> sums(context, expected.size());
        launch(dynamic ? sumKernel<true> : sumKernel<false>, blocksFor(count, block), block,
               dynamic ? block * sizeof(double) : 0, context.stream, values.get(), count, sums.get());
        checkKernels("sum kernel");
        std::vector<double> result(expected.size());
        download(context, result, sums, "download sums");
        synchronize(context, "synchronize sums");
        EXPECT_EQ(result, expected);
    }
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
        launch(coordinatesKernel, c.grid, c.block, c.shared, context.stream, out.get());
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

}  // namespace
}  // namespace Halcyne::Core::Vestra
