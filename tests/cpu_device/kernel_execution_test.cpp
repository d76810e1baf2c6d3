// How the CPU device runs kernels: barriers that every thread of a block must see, barriers reached
// by only part of a block, dynamic shared memory that starts as NaN, and results that do not depend
// on how many host threads run the blocks.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "cpu_device/control.h"
#include "cuda/device_transfers.h"
#include "cuda/launch.h"
#include "cuda/transformer_cuda_session.h"
#include "support/cpu_device_test.h"

namespace Halcyne::Core::Vestra {
namespace {

// Rotates the block's values one place per round through shared memory; a thread that read
// before every other had written, or wrote before every other had read, breaks the rotation.
__global__ void rotateKernel(const double* __restrict__ in,  // [blocks, blockDim]
                             double* __restrict__ out,       // [blocks, blockDim]
                             unsigned rounds) {
    double* ring = dynamicSharedMemory<double>();
    const unsigned lane = threadIdx.x;
    const std::uint64_t base = std::uint64_t{blockIdx.x} * blockDim.x;
    double value = in[base + lane];
    for (unsigned round = 0; round < rounds; ++round) {
        ring[lane] = value;
        __syncthreads();
        value = ring[(lane + 1) % blockDim.x];
        __syncthreads();
    }
    out[base + lane] = value;
}

// Threads below `returning` leave; the rest meet at a barrier `depth` times, odd lanes once more.
__global__ void divergentKernel(double* __restrict__ out,  // [blockDim]
                                unsigned returning,
                                unsigned depth,
                                bool oddLanesWaitLonger) {
    if (threadIdx.x < returning) {
        return;
    }
    const unsigned barriers = depth + (oddLanesWaitLonger && threadIdx.x % 2 == 1 ? 1 : 0);
    for (unsigned barrier = 0; barrier < barriers; ++barrier) {
        __syncthreads();
    }
    out[threadIdx.x] = 1.0;
}

__global__ void readSharedKernel(double* __restrict__ out) {  // [blocks, blockDim]
    const double* shared = dynamicSharedMemory<double>();
    out[std::uint64_t{blockIdx.x} * blockDim.x + threadIdx.x] = shared[threadIdx.x];
    __syncthreads();
    dynamicSharedMemory<double>()[threadIdx.x] = 0.0;  // the next block must not see this
}

// One partial sum of squares per block, in a fixed tree order.
__global__ void sumOfSquaresKernel(const double* __restrict__ values,  // [count]
                                   std::uint64_t count,
                                   double* __restrict__ sums) {  // [blocks]
    __shared__ double cache[256];
    const std::uint64_t i = std::uint64_t{blockIdx.x} * blockDim.x + threadIdx.x;
    cache[threadIdx.x] = i < count ? values[i] * values[i] : 0.0;
    __syncthreads();
    for (unsigned stride = blockDim.x / 2; stride > 0; stride /= 2) {
        if (threadIdx.x < stride) {
            cache[threadIdx.x] += cache[threadIdx.x + stride];
        }
        __syncthreads();
    }
    if (threadIdx.x == 0) {
        sums[blockIdx.x] = cache[0];
    }
}

class KernelExecution : public Testing::CpuDeviceTest {
  protected:
    TransformerCudaSession session{0};
    const TransformerCudaContext& context = session.context();

    std::vector<double> rotate(const std::vector<double>& host, unsigned block, unsigned rounds) {
        const auto in = uploadBuffer(context, host, "upload ring");
        DeviceBuffer<double> out(context, host.size());
        launch(rotateKernel, blocksFor(host.size(), block), block, block * sizeof(double), context.stream, in.get(),
               out.get(), rounds);
        checkKernels("rotate kernel");
        std::vector<double> result(host.size());
        download(context, result, out, "download ring");
        synchronize(context, "synchronize ring");
        return result;
    }
};

TEST_F(KernelExecution, BarriersOrderEveryThreadOfTheBlock) {
    for (const unsigned block : {1u, 7u, 256u, 1024u}) {
        const unsigned rounds = 5;
        std::vector<double> host(std::size_t{block} * 3);
        for (std::size_t i = 0; i < host.size(); ++i) {
            host[i] = static_cast<double>(i);
        }
        std::vector<double> expected(host.size());
        for (std::size_t i = 0; i < host.size(); ++i) {
            const std::size_t base = i / block * block;
            expected[i] = host[base + (i - base + rounds) % block];
        }
        EXPECT_EQ(rotate(host, block, rounds), expected) << "block " << block;
    }
}

TEST_F(KernelExecution, BarrierReachedByPartOfABlockIsReportedAndTheNextLaunchRuns) {
    struct Case {
        unsigned returning;
        bool oddLanesWaitLonger;
        const char* report;
    };
    for (const Case& partial : {
             Case{1, false, "__syncthreads in block (0, 0, 0) of 64 threads: thread 1 reached it after 1 returned "
                            "without it"},
             Case{0, true, "__syncthreads in block (0, 0, 0) of 64 threads: 32 waiting at it, 32 returned without it"},
         }) {
        DeviceBuffer<double> out(context, 64);
        launch(divergentKernel, 1, 64, 0, context.stream, out.get(), partial.returning, 3u, partial.oddLanesWaitLonger);
        EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
        EXPECT_EQ(CpuDevice::lastKernelFault(), partial.report);
        // The abandoned fibers' stacks serve the next launch.
        const std::vector<double> ring = {1.0, 2.0, 3.0};
        EXPECT_EQ(rotate(ring, 3, 1), (std::vector<double>{2.0, 3.0, 1.0}));
    }
    DeviceBuffer<double> out(context, 64);
    launch(divergentKernel, 1, 64, 0, context.stream, out.get(), 0u, 3u, false);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_F(KernelExecution, DynamicSharedMemoryStartsAsNaNInEveryBlock) {
    DeviceBuffer<double> out(context, 2 * 32);
    launch(readSharedKernel, 2, 32, 32 * sizeof(double), context.stream, out.get());
    checkKernels("read shared kernel");
    std::vector<double> result(out.count());
    download(context, result, out, "download shared");
    synchronize(context, "synchronize shared");
    for (const double value : result) {
        EXPECT_TRUE(std::isnan(value));
    }
}

TEST_F(KernelExecution, ResultsAreBitIdenticalForAnyNumberOfHostThreads) {
    std::mt19937_64 random(7);
    std::normal_distribution<double> normal;
    std::vector<double> host(300'001);
    for (double& value : host) {
        value = normal(random);
    }
    const auto values = uploadBuffer(context, host, "upload values");
    const unsigned blocks = blocksFor(host.size(), 256);
    const unsigned original = CpuDevice::executionThreads();
    std::vector<std::vector<double>> results;
    for (const unsigned threads : {1u, 2u, 5u, 1u}) {
        CpuDevice::setExecutionThreads(threads);
        DeviceBuffer<double> sums(context, blocks);
        launch(sumOfSquaresKernel, blocks, 256, 0, context.stream, values.get(), std::uint64_t{host.size()},
               sums.get());
        checkKernels("sum of squares kernel");
        results.emplace_back(blocks);
        download(context, results.back(), sums, "download sums");
        synchronize(context, "synchronize sums");
    }
    CpuDevice::setExecutionThreads(original);
    for (std::size_t run = 1; run < results.size(); ++run) {
        for (unsigned block = 0; block < blocks; ++block) {
            ASSERT_EQ(std::bit_cast<std::uint64_t>(results[run][block]), std::bit_cast<std::uint64_t>(results[0][block]))
                << "run " << run << ", block " << block;
        }
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
