// How the CPU device runs kernels: barriers that every thread of a block must see, barriers reached
// by only part of a block, and results that do not depend on how many host threads run the blocks.
#include <gtest/gtest.h>

#include <cstdint>
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

// Threads below `returning` leave; the rest meet at a barrier 3 times, odd lanes once more.
__global__ void divergentKernel(double* __restrict__ out,  // [blockDim]
                                unsigned returning, bool oddLanesWaitLonger) {
    if (threadIdx.x < returning) {
        return;
    }
    const unsigned barriers = 3 + (oddLanesWaitLonger && threadIdx.x % 2 == 1 ? 1 : 0);
    for (unsigned barrier = 0; barrier < barriers; ++barrier) {
        __syncthreads();
    }
    out[threadIdx.x] = 1.0;
}

class KernelExecution : public Testing::CpuDeviceTest {
  protected:
    TransformerCudaSession session{0};
    const TransformerCudaContext& context = session.context();

    std::vector<double> rotate(const std::vector<double>& host, unsigned block, unsigned rounds) {
        const auto in = uploadBuffer(context, host, "upload ring");
        DeviceBuffer<double> out(context, host.size());
        launch<rotateKernel>(blocksFor(host.size(), block), block, block * sizeof(double), context.stream, in.get(),
                             out.get(), rounds);
        checkKernels("rotate kernel");
        std::vector<double> result(host.size());
        download(context, result, out, "download ring");
        synchronize(context, "synchronize ring");
        return result;
    }
};

// Blocks spread over several host threads must give the same values as blocks in order.
TEST_F(KernelExecution, BarriersOrderEveryThreadOfTheBlockOnAnyNumberOfHostThreads) {
    const unsigned original = CpuDevice::executionThreads();
    // 64 x 200 threads are too few to start on several host threads: the calling thread begins alone,
    // and the helpers take over the blocks left once the first have run a while.
    for (const auto& [block, blocks, hostThreads] : {std::tuple{1u, 3u, 1u},
                                                     {7u, 3u, 1u},
                                                     {256u, 300u, 1u},
                                                     {256u, 300u, 3u},
                                                     {1024u, 40u, 2u},
                                                     {64u, 200u, 2u}}) {
        CpuDevice::setExecutionThreads(hostThreads);
        std::vector<double> host(std::size_t{block} * blocks);
        std::vector<double> expected(host.size());
        for (std::size_t i = 0; i < host.size(); ++i) {
            host[i] = static_cast<double>(i) * 0.37;
            expected[i] = static_cast<double>(i / block * block + (i % block + 5) % block) * 0.37;  // 5 rounds
        }
        EXPECT_EQ(rotate(host, block, 5), expected) << "block " << block << ", host threads " << hostThreads;
    }
    CpuDevice::setExecutionThreads(original);
}

TEST_F(KernelExecution, BarrierReachedByPartOfABlockIsReportedAndTheNextLaunchRuns) {
    for (const auto& [returning, oddLanesWaitLonger, report] : {
             std::tuple{1u, false, "thread 1 reached it after 1 returned without it"},
             {0u, true, "32 waiting at it, 32 returned without it"},
         }) {
        DeviceBuffer<double> out(context, 64);
        launch<divergentKernel>(1, 64, 0, context.stream, out.get(), returning, oddLanesWaitLonger);
        EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
        EXPECT_EQ(CpuDevice::lastKernelFault(),
                  std::string("divergentKernel: __syncthreads in block (0, 0, 0) of 64 threads: ") + report);
        // The abandoned fibers' stacks serve the next launch.
        const std::vector<double> ring = {1.0, 2.0, 3.0};
        EXPECT_EQ(rotate(ring, 3, 1), (std::vector<double>{2.0, 3.0, 1.0}));
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
