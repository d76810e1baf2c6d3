// Launch throughput of the CPU device: CUDA threads per second for an element-wise kernel (the
// barrier-free path; also launched through a kernel pointer, the way every launch went before) and
// barrier passes per second for a kernel whose threads meet at barriers (one fiber switch each), on
// one host thread and on all of them.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "bench/fastest.h"
#include "cpu_device/control.h"
#include "cuda/device_transfers.h"
#include "cuda/launch.h"
#include "cuda/transformer_cuda_session.h"
#include "driver/harness.h"

namespace Halcyne::Core::Vestra {
namespace {

constexpr unsigned kBlock = 256;
constexpr unsigned kBarriers = 16;

__global__ void scaleAddKernel(const double* __restrict__ in,  // [count]
                               double* __restrict__ out,       // [count]
                               std::uint64_t count) {
    const std::uint64_t i = std::uint64_t{blockIdx.x} * blockDim.x + threadIdx.x;
    if (i >= count) {
        return;
    }
    out[i] = in[i] * 2.0 + 1.0;
}

// Alternate halves of the cache, so that one barrier per round keeps a write from overtaking the
// neighbour's read of the round before.
__global__ void barrierKernel(double* __restrict__ out) {  // [blocks, blockDim]
    VESTRA_SHARED_ARRAY(double, cache, 2 * kBlock);
    double value = threadIdx.x;
    for (unsigned round = 0; round < kBarriers; ++round) {
        double* half = cache + (round % 2) * kBlock;
        half[threadIdx.x] = value;
        __syncthreads();
        value += half[(threadIdx.x + 1) % blockDim.x];
    }
    out[std::uint64_t{blockIdx.x} * blockDim.x + threadIdx.x] = value;
}
VESTRA_STATIC_SHARED_BYTES(barrierKernel, 2 * kBlock * sizeof(double));

// Seconds per call of `run`, from the fastest of a few repetitions.
template <class Run>
double fastestSeconds(Run run) {
    return fastestMilliseconds(5, run) / 1000.0;
}

void measure(const TransformerCudaContext& context, unsigned hostThreads) {
    CpuDevice::setExecutionThreads(hostThreads);
    const std::uint64_t count = std::uint64_t{1} << 24;
    const auto in = clearedBuffer<double>(context, count, "clear input");
    DeviceBuffer<double> out(context, count);
    const double elementwise = fastestSeconds([&] {
        launch<scaleAddKernel>(blocksFor(count, kBlock), kBlock, 0, context.stream, in.get(), out.get(), count);
        checkKernels("scale-add kernel");
    });
    // The same kernel through a pointer known only at run time, as every launch went before launches
    // named their kernel as a template argument: one indirect call per CUDA thread.
    const double throughPointer = fastestSeconds([&] {
        cudaLaunchConfig_t config{};
        config.gridDim = blocksFor(count, kBlock);
        config.blockDim = kBlock;
        config.stream = context.stream;
        (void)cudaLaunchKernelEx(&config, scaleAddKernel, in.get(), out.get(), count);
        checkKernels("scale-add kernel through a pointer");
    });
    const unsigned blocks = 2048;
    const double barrier = fastestSeconds([&] {
        launch<barrierKernel>(blocks, kBlock, 0, context.stream, out.get());
        checkKernels("barrier kernel");
    });
    const double switches = double{blocks} * kBlock * kBarriers;
    std::printf(
        "cpu device, %u host thread(s): element-wise %.1f M threads/s (through a kernel pointer %.1f), barrier %.1f M "
        "thread switches/s\n",
        hostThreads, static_cast<double>(count) / elementwise / 1e6, static_cast<double>(count) / throughPointer / 1e6,
        switches / barrier / 1e6);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra

int main() {
    using namespace Halcyne::Core::Vestra;
    const TransformerCudaSession session(0);
    const unsigned all = CpuDevice::executionThreads();
    measure(session.context(), 1);
    if (all > 1) {
        measure(session.context(), all);
    }
    return 0;
}
