// Warp exchanges on the CPU device: the shuffles and __syncwarp against plain sums and scans over
// whole and partial warps, masks that name threads that never arrive, reads of lanes a mask does not
// name, and checking mode's view of a warp exchange as the end of an interval for the threads of
// that warp only.
#include <gtest/gtest.h>

#include <cmath>
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

// How many lanes the calling thread's warp has in the block.
__device__ unsigned presentLanes() {
    const unsigned warpStart = threadIdx.x / warpSize * warpSize;
    return blockDim.x - warpStart < 32u ? blockDim.x - warpStart : 32u;
}

// Per thread, from in[t] (small integers, so every sum is exact): [0] the warp's sum by a
// shfl_down tree, [1] by an xor butterfly, [2] the inclusive prefix sum by shfl_up, [3] the value of
// the warp's lane 3 (or last lane), [4] the sum over the thread's segment of 8 lanes by a butterfly of
// width 8. Threads below `skip` return first. What a partial warp reads from lanes it lacks is
// dropped.
__global__ void warpSumsKernel(const double* __restrict__ in,  // [blockDim]
                               double* __restrict__ out,       // [blockDim, 5]
                               unsigned skip) {
    const unsigned t = threadIdx.x;
    if (t < skip) {
        return;
    }
    const unsigned lanes = presentLanes();
    const unsigned mask = lanes == 32u ? 0xFFFFFFFFu : (1u << lanes) - 1u;
    const double value = in[t];
    double down = value;
    for (unsigned offset = 16; offset > 0; offset /= 2) {
        const double other = __shfl_down_sync(mask, down, offset);
        down += t % 32 + offset < lanes ? other : 0.0;
    }
    double butterfly = value;
    double scan = value;
    for (unsigned offset = 1; offset < 32; offset *= 2) {
        const double other = __shfl_xor_sync(mask, butterfly, static_cast<int>(offset));
        butterfly += (t % 32 ^ offset) < lanes ? other : 0.0;
        const double below = __shfl_up_sync(mask, scan, offset);
        scan += t % 32 >= offset ? below : 0.0;
    }
    double segment = value;
    for (unsigned offset = 1; offset < 8; offset *= 2) {
        const double other = __shfl_xor_sync(mask, segment, static_cast<int>(offset), 8);
        segment += (t % 32 ^ offset) < lanes ? other : 0.0;
    }
    __syncwarp(mask);
    out[t * 5 + 0] = __shfl_sync(mask, down, 0);
    out[t * 5 + 1] = butterfly;
    out[t * 5 + 2] = scan;
    out[t * 5 + 3] = __shfl_sync(mask, value, lanes > 3 ? 3 : static_cast<int>(lanes) - 1);
    out[t * 5 + 4] = segment;
}

enum class Misuse : std::uint8_t { ReturnedLane, MissingLane, LaneAtBarrier, OwnLaneMissing, OddWidth, UnnamedSource };

// One thread per lane of a block, each reading its right neighbour; `misuse` plants one fault whose
// outcome a GPU leaves undefined.
__global__ void misusedShuffleKernel(double* __restrict__ out, Misuse misuse) {
    const unsigned t = threadIdx.x;
    unsigned mask = 0xFFFFFFFFu;
    int width = 32;
    int source = static_cast<int>((t + 1) % 32);
    switch (misuse) {
        case Misuse::ReturnedLane:
            if (t == 33) {
                return;
            }
            break;
        case Misuse::MissingLane:  // launched with 40 threads: warp 1 has 8
            break;
        case Misuse::LaneAtBarrier:
            if (t == 5) {
                __syncthreads();
            }
            break;
        case Misuse::OwnLaneMissing:
            mask = t == 7 ? 0xFFFFFF7Fu : mask;
            break;
        case Misuse::OddWidth:
            width = 12;
            break;
        case Misuse::UnnamedSource:
            mask = t % 32 < 16 ? 0x0000FFFFu : 0xFFFF0000u;  // lanes 15 and 31 read from the other half
            break;
    }
    out[t] = __shfl_sync(mask, static_cast<double>(t), source, width);
}

// Lane 0 then lane 1 of each warp write the same shared word, with a __syncwarp between them when
// `synced`; with `acrossWarps` thread 32 writes it too, which no warp exchange orders.
__global__ void sharedHandOffKernel(double* __restrict__ out,  // [blockDim]
                                    bool synced, bool acrossWarps) {
    double* word = dynamicSharedMemory<double>();
    const unsigned lane = threadIdx.x % 32;
    if (threadIdx.x == 0) {
        *word = 1.0;
    }
    if (synced) {
        __syncwarp();
    }
    if (threadIdx.x == 1 || (acrossWarps && threadIdx.x == 32)) {
        *word = 2.0;
    }
    __syncthreads();
    out[threadIdx.x] = *word + lane;
}

class WarpExchange : public Testing::CpuDeviceTest {
  protected:
    TransformerCudaSession session{0};
    const TransformerCudaContext& context = session.context();

    static std::pair<cudaError_t, std::string> outcome() {
        const cudaError_t status = cudaGetLastError();
        return {status, status == cudaSuccess ? std::string() : CpuDevice::lastKernelFault()};
    }
};

TEST_F(WarpExchange, ShufflesGiveThePlainSumsAndScansOfWholeAndPartialWarps) {
    // 72 threads: warps of 32, 32 and 8 lanes; with skip 32 the first warp returns at once, and the
    // block turns into fibers at its second warp's first shuffle.
    for (const auto& [threads, skip, checking] :
         {std::tuple{32u, 0u, false}, {72u, 0u, false}, {72u, 32u, false}, {72u, 0u, true}, {64u, 32u, true}}) {
        SCOPED_TRACE(::testing::Message() << threads << " threads, skip " << skip << ", checking " << checking);
        const bool wasChecking = CpuDevice::checking();
        CpuDevice::setChecking(checking);
        std::vector<double> host(threads);
        for (unsigned t = 0; t < threads; ++t) {
            host[t] = static_cast<double>((t * 7) % 11) - 3.0;
        }
        const auto in = uploadBuffer(context, host, "upload lanes");
        std::vector<double> result(std::size_t{threads} * 5, -1.0);
        auto out = uploadBuffer(context, result, "upload results");
        launch<warpSumsKernel>(1, threads, 0, context.stream, in.get(), out.get(), skip);
        EXPECT_EQ(outcome(), std::pair(cudaSuccess, std::string()));
        download(context, result, out, "download results");
        synchronize(context, "synchronize");
        CpuDevice::setChecking(wasChecking);
        for (unsigned t = skip; t < threads; ++t) {
            const unsigned warpStart = t / 32 * 32;
            const unsigned warpEnd = std::min(threads, warpStart + 32);
            double sum = 0.0;
            double prefix = 0.0;
            double segment = 0.0;
            for (unsigned u = warpStart; u < warpEnd; ++u) {
                sum += host[u];
                prefix += u <= t ? host[u] : 0.0;
                segment += u / 8 == t / 8 ? host[u] : 0.0;
            }
            const unsigned fourth = std::min(warpStart + 3, warpEnd - 1);
            const std::vector<double> expected = {sum, sum, prefix, host[fourth], segment};
            EXPECT_EQ(std::vector<double>(result.begin() + t * 5, result.begin() + t * 5 + 5), expected)
                << "thread " << t;
        }
    }
}

TEST_F(WarpExchange, AMaskNamingAThreadThatNeverArrivesFailsTheLaunch) {
    for (const auto& [misuse, threads, report] : {
             std::tuple{Misuse::ReturnedLane, 64u,
                        "thread 32 passes mask 0xffffffff, which names thread 33, which "
                        "returned without it"},
             {Misuse::MissingLane, 40u,
              "thread 32 passes mask 0xffffffff, which names thread 40, which the block "
              "does not have"},
             {Misuse::LaneAtBarrier, 32u,
              "thread 0 passes mask 0xffffffff, which names thread 5, which waits at "
              "__syncthreads"},
             {Misuse::OwnLaneMissing, 32u, "thread 7 passes mask 0xffffff7f, which does not name its own lane 7"},
             {Misuse::OddWidth, 32u, "thread 0 passes width 12, which is not a power of two from 1 to 32"},
         }) {
        DeviceBuffer<double> out(context, threads);
        launch<misusedShuffleKernel>(1, threads, 0, context.stream, out.get(), misuse);
        const auto [status, fault] = outcome();
        EXPECT_EQ(status, cudaErrorLaunchFailure) << report;
        EXPECT_EQ(fault, std::string("misusedShuffleKernel: __shfl_sync in block (0, 0, 0) of ") +
                             std::to_string(threads) + " threads: " + report);
    }
    // The abandoned fibers' stacks serve the next launch. A lane that reads one its mask does not
    // name gets NaN, as from unwritten memory, rather than a value that may pass for a result.
    auto out = uploadBuffer(context, std::vector<double>(32, 0.0), "upload lanes");
    launch<misusedShuffleKernel>(1, 32, 0, context.stream, out.get(), Misuse::UnnamedSource);
    EXPECT_EQ(outcome(), std::pair(cudaSuccess, std::string()));
    std::vector<double> host(32);
    download(context, host, out, "download lanes");
    synchronize(context, "synchronize");
    for (unsigned t = 0; t < 32; ++t) {
        EXPECT_EQ(std::isnan(host[t]), t % 16 == 15) << "thread " << t;
        EXPECT_TRUE(std::isnan(host[t]) || host[t] == (t + 1) % 32) << "thread " << t;
    }
}

TEST_F(WarpExchange, CheckingOrdersSharedWritesAcrossAnExchangeOnlyWithinTheWarp) {
    const bool wasChecking = CpuDevice::checking();
    CpuDevice::setChecking(true);
    for (const auto& [synced, acrossWarps, race] :
         {std::tuple{true, false, false}, {false, false, true}, {true, true, true}}) {
        DeviceBuffer<double> out(context, 64);
        launch<sharedHandOffKernel>(1, 64, sizeof(double), context.stream, out.get(), synced, acrossWarps);
        const auto [status, fault] = outcome();
        EXPECT_EQ(status, race ? cudaErrorLaunchFailure : cudaSuccess) << synced << acrossWarps;
        EXPECT_EQ(fault.find("shared-memory race in block (0, 0, 0)") != std::string::npos, race) << fault;
    }
    CpuDevice::setChecking(wasChecking);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
