// Kernels through the launch helper and the device layer, on whichever backend the build has: block
// reductions over static and dynamic shared memory, index variables over 3-D grids, and the launch
// configurations CUDA refuses.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

#include "cuda/device_transfers.h"
#include "cuda/launch.h"
#include "cuda/transformer_cuda_session.h"

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

__global__ void staticSumKernel(const double* __restrict__ values,  // [count]
                                std::uint64_t count,
                                double* __restrict__ sums) {  // [blocks]
    __shared__ double cache[kStaticBlock];
    const std::uint64_t i = std::uint64_t{blockIdx.x} * blockDim.x + threadIdx.x;
    const double total = reduceBlock(cache, i < count ? values[i] : 0.0);
    if (threadIdx.x == 0) {
        sums[blockIdx.x] = total;
    }
}

__global__ void dynamicSumKernel(const double* __restrict__ values,  // [count]
                                 std::uint64_t count,
                                 double* __restrict__ sums) {  // [blocks]
    double* cache = dynamicSharedMemory<double>();
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

__global__ void fillKernel(double* __restrict__ out, std::uint64_t count, double value) {  // [count]
    const std::uint64_t i = std::uint64_t{blockIdx.x} * blockDim.x + threadIdx.x;
    if (i >= count) {
        return;
    }
    out[i] = value;
}

class Launch : public ::testing::Test {
  protected:
    TransformerCudaSession session{0};
    const TransformerCudaContext& context = session.context();
};

// Integer-valued inputs keep every partial sum exact, so any order of summation gives the same value.
std::vector<double> ramp(std::uint64_t count) {
    std::vector<double> values(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        values[i] = static_cast<double>(i % 97) - 48.0;
    }
    return values;
}

std::vector<double> sliceSums(const std::vector<double>& values, unsigned block) {
    std::vector<double> sums(blocksFor(values.size(), block), 0.0);
    for (std::size_t i = 0; i < values.size(); ++i) {
        sums[i / block] += values[i];
    }
    return sums;
}

TEST_F(Launch, BlockReductionsOverStaticAndDynamicSharedMemory) {
    struct Case {
        std::uint64_t count;
        unsigned block;
    };
    for (const Case& shape : {Case{1, 256}, Case{255, 256}, Case{256, 256}, Case{257, 256}, Case{5000, 256},
                              Case{1, 1}, Case{3, 2}, Case{1000, 32}, Case{3000, 1024}}) {
        SCOPED_TRACE(::testing::Message() << "count " << shape.count << ", block " << shape.block);
        const std::vector<double> host = ramp(shape.count);
        const std::vector<double> expected = sliceSums(host, shape.block);
        const auto values = uploadBuffer(context, host, "upload values");
        DeviceBuffer<double> sums(context, expected.size());
        const unsigned grid = blocksFor(shape.count, shape.block);
        launch(dynamicSumKernel, grid, shape.block, shape.block * sizeof(double), context.stream, values.get(),
               shape.count, sums.get());
        checkKernels("sum kernel");
        std::vector<double> dynamicResult(expected.size());
        download(context, dynamicResult, sums, "download sums");
        std::vector<double> staticResult;
        if (shape.block == kStaticBlock) {
            launch(staticSumKernel, grid, shape.block, 0, context.stream, values.get(), shape.count, sums.get());
            checkKernels("sum kernel");
            staticResult.resize(expected.size());
            download(context, staticResult, sums, "download sums");
        }
        synchronize(context, "synchronize sums");
        EXPECT_EQ(dynamicResult, expected);
        if (!staticResult.empty()) {
            EXPECT_EQ(staticResult, expected);
        }
    }
}

TEST_F(Launch, IndexVariablesCoverThreeDimensionalGrids) {
    for (const auto& [grid, block] : {std::pair{dim3(3, 2, 2), dim3(4, 3, 2)}, std::pair{dim3(1), dim3(1024)},
                                      std::pair{dim3(5, 1, 3), dim3(1, 1, 64)}}) {
        const std::uint64_t count =
            std::uint64_t{grid.x} * grid.y * grid.z * block.x * block.y * block.z;
        DeviceBuffer<std::uint32_t> out(context, count);
        launch(coordinatesKernel, grid, block, 0, context.stream, out.get());
        checkKernels("coordinates kernel");
        std::vector<std::uint32_t> result(count);
        download(context, result, out, "download coordinates");
        synchronize(context, "synchronize coordinates");
        std::vector<std::uint32_t> expected(count);
        std::iota(expected.begin(), expected.end(), 0u);
        EXPECT_EQ(result, expected);
    }
}

TEST_F(Launch, RefusedConfigurationsSurfaceAtTheKernelCheck) {
    int sharedLimit = 0;
    ASSERT_EQ(cudaDeviceGetAttribute(&sharedLimit, cudaDevAttrMaxSharedMemoryPerBlock, 0), cudaSuccess);
    EXPECT_EQ(sharedLimit, 49152);
    DeviceBuffer<double> out(context, 4);
    struct Case {
        dim3 grid;
        dim3 block;
        std::size_t shared;
        const char* message;
    };
    for (const Case& refused : {
             Case{1, 1025, 0, "fill kernel: invalid configuration argument"},
             Case{1, dim3(32, 32, 2), 0, "fill kernel: invalid configuration argument"},
             Case{0, 256, 0, "fill kernel: invalid configuration argument"},
             Case{1, 256, static_cast<std::size_t>(sharedLimit) + 1, "fill kernel: invalid argument"},
         }) {
        launch(fillKernel, refused.grid, refused.block, refused.shared, context.stream, out.get(), 4, 1.0);
        try {
            checkKernels("fill kernel");
            ADD_FAILURE() << "expected " << refused.message;
        } catch (const TransformerCudaError& error) {
            EXPECT_EQ(error.what(), std::string(refused.message));
            EXPECT_EQ(error.kind, TransformerCudaErrorKind::Runtime);
        }
    }
    // The failure was consumed; a valid launch after it checks clean.
    launch(fillKernel, 1, 256, static_cast<std::size_t>(sharedLimit), context.stream, out.get(), 4, 2.0);
    EXPECT_NO_THROW(checkKernels("fill kernel"));
    std::vector<double> result(4);
    download(context, result, out, "download fill");
    synchronize(context, "synchronize fill");
    EXPECT_EQ(result, std::vector<double>(4, 2.0));
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
