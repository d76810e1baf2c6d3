// What the CPU device's checking mode costs: the same launch with checking off and on, for six
// kernels of the shapes real code has (element-wise, tiled transpose and matrix product, a stencil
// with a halo, row softmax, block reduction). Each kernel's result is compared with the host's, and
// its checked launch must pass, before anything is timed. Both modes run blocks on one host thread,
// so that the ratio is the work checking adds and not the cores it leaves idle.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/fastest.h"
#include "cpu_device/control.h"
#include "cuda/device_transfers.h"
#include "cuda/kernels/thread_index.cuh"
#include "cuda/launch.h"
#include "cuda/transformer_cuda_session.h"

namespace Halcyne::Core::Vestra {
namespace {

constexpr int kRepetitions = 3;
constexpr unsigned kTransposeTile = 32;
constexpr unsigned kTransposeRows = 8;  // block rows; each thread moves kTransposeTile / kTransposeRows elements
constexpr unsigned kProductTile = 16;
constexpr unsigned kSoftmaxBlock = 256;
constexpr unsigned kSoftmaxWarps = kSoftmaxBlock / kWarpLanes;
constexpr unsigned kReductionBlock = 256;

__global__ void axpyKernel(const double* __restrict__ x,  // [count]
                           double* __restrict__ y,        // [count]
                           double a, std::uint64_t count) {
    const std::uint64_t i = globalThreadIndex();
    if (i >= count) {
        return;
    }
    y[i] = a * x[i] + y[i];
}

// One 32x32 tile per block, read along rows of `in` and written along rows of `out`; the padded tile
// row (33) puts the elements of a tile column in different banks.
__global__ void transposeKernel(const double* __restrict__ in,  // [rows, columns]
                                double* __restrict__ out,       // [columns, rows]
                                unsigned rows, unsigned columns) {
    VESTRA_SHARED_ARRAY(double, tile, kTransposeTile*(kTransposeTile + 1));
    const unsigned firstRow = blockIdx.y * kTransposeTile;
    const unsigned firstColumn = blockIdx.x * kTransposeTile;
    for (unsigned r = threadIdx.y; r < kTransposeTile; r += kTransposeRows) {
        const unsigned row = firstRow + r;
        const unsigned column = firstColumn + threadIdx.x;
        if (row < rows && column < columns) {
            tile[r * (kTransposeTile + 1) + threadIdx.x] = in[std::uint64_t{row} * columns + column];
        }
    }
    __syncthreads();
    // Output row = input column firstColumn + r, output column = input row firstRow + threadIdx.x.
    for (unsigned r = threadIdx.y; r < kTransposeTile; r += kTransposeRows) {
        const unsigned row = firstColumn + r;
        const unsigned column = firstRow + threadIdx.x;
        if (row < columns && column < rows) {
            out[std::uint64_t{row} * rows + column] = tile[threadIdx.x * (kTransposeTile + 1) + r];
        }
    }
}
VESTRA_STATIC_SHARED_BYTES(transposeKernel, kTransposeTile*(kTransposeTile + 1) * sizeof(double));

// c = a b, one 16x16 tile of c per block; tiles of a and b past the matrix edges hold zeros.
__global__ void tiledProductKernel(const double* __restrict__ a,  // [rows, inner]
                                   const double* __restrict__ b,  // [inner, columns]
                                   double* __restrict__ c,        // [rows, columns]
                                   unsigned rows, unsigned inner, unsigned columns) {
    VESTRA_SHARED_ARRAY(double, aTile, kProductTile* kProductTile);
    VESTRA_SHARED_ARRAY(double, bTile, kProductTile* kProductTile);
    const unsigned row = blockIdx.y * kProductTile + threadIdx.y;
    const unsigned column = blockIdx.x * kProductTile + threadIdx.x;
    double sum = 0.0;
    for (unsigned start = 0; start < inner; start += kProductTile) {
        const unsigned aColumn = start + threadIdx.x;
        const unsigned bRow = start + threadIdx.y;
        aTile[threadIdx.y * kProductTile + threadIdx.x] =
            row < rows && aColumn < inner ? a[std::uint64_t{row} * inner + aColumn] : 0.0;
        bTile[threadIdx.y * kProductTile + threadIdx.x] =
            bRow < inner && column < columns ? b[std::uint64_t{bRow} * columns + column] : 0.0;
        __syncthreads();
        for (unsigned k = 0; k < kProductTile; ++k) {
            sum += aTile[threadIdx.y * kProductTile + k] * bTile[k * kProductTile + threadIdx.x];
        }
        // The next tiles overwrite what slower threads may still be reading.
        __syncthreads();
    }
    if (row < rows && column < columns) {
        c[std::uint64_t{row} * columns + column] = sum;
    }
}
VESTRA_STATIC_SHARED_BYTES(tiledProductKernel, 2 * kProductTile * kProductTile * sizeof(double));

// out[i] = (in[i - 1] + 2 in[i] + in[i + 1]) / 4 with zeros beyond both ends. Dynamic shared memory
// holds the block's elements with one neighbour each side: [blockDim.x + 2].
__global__ void stencilKernel(const double* __restrict__ in,  // [count]
                              double* __restrict__ out,       // [count]
                              std::uint64_t count) {
    double* window = dynamicSharedMemory<double>();
    const std::uint64_t i = globalThreadIndex();
    // Threads past the end still fill their slots and meet the barrier.
    window[threadIdx.x + 1] = i < count ? in[i] : 0.0;
    if (threadIdx.x == 0) {
        window[0] = i > 0 ? in[i - 1] : 0.0;
    }
    if (threadIdx.x + 1 == blockDim.x) {
        window[blockDim.x + 1] = i + 1 < count ? in[i + 1] : 0.0;
    }
    __syncthreads();
    if (i >= count) {
        return;
    }
    out[i] = 0.25 * window[threadIdx.x] + 0.5 * window[threadIdx.x + 1] + 0.25 * window[threadIdx.x + 2];
}

struct Maximum {
    __device__ double operator()(double a, double b) const { return a > b ? a : b; }
};

struct Sum {
    __device__ double operator()(double a, double b) const { return a + b; }
};

// Combines `value` over the block and gives the result to every thread: a butterfly within each warp,
// one value per warp in `partials` [kSoftmaxWarps], and the same butterfly over those in every warp.
// The butterfly gives all lanes the same bits, so every thread holds one result. `partials` is read
// after the barrier and must not be written again without another.
template <class Combine>
__device__ double blockCombine(double value, double identity, double* partials, Combine combine) {
    for (unsigned offset = kWarpLanes / 2; offset > 0; offset /= 2) {
        value = combine(value, __shfl_xor_sync(kFullWarpMask, value, static_cast<int>(offset)));
    }
    const unsigned lane = threadIdx.x % kWarpLanes;
    if (lane == 0) {
        partials[threadIdx.x / kWarpLanes] = value;
    }
    __syncthreads();
    value = lane < kSoftmaxWarps ? partials[lane] : identity;
    for (unsigned offset = kWarpLanes / 2; offset > 0; offset /= 2) {
        value = combine(value, __shfl_xor_sync(kFullWarpMask, value, static_cast<int>(offset)));
    }
    return value;
}

// One block of kSoftmaxBlock threads per row: out = exp(in - max) / sum(exp(in - max)).
__global__ void rowSoftmaxKernel(const double* __restrict__ in,  // [rows, columns]
                                 double* __restrict__ out,       // [rows, columns]
                                 unsigned columns) {
    VESTRA_SHARED_ARRAY(double, maxima, kSoftmaxWarps);
    VESTRA_SHARED_ARRAY(double, sums, kSoftmaxWarps);
    const double* row = in + std::uint64_t{blockIdx.x} * columns;
    double* result = out + std::uint64_t{blockIdx.x} * columns;
    double maximum = -HUGE_VAL;
    for (unsigned c = threadIdx.x; c < columns; c += blockDim.x) {
        maximum = row[c] > maximum ? row[c] : maximum;
    }
    maximum = blockCombine(maximum, -HUGE_VAL, maxima, Maximum{});
    double sum = 0.0;
    for (unsigned c = threadIdx.x; c < columns; c += blockDim.x) {
        sum += exp(row[c] - maximum);
    }
    sum = blockCombine(sum, 0.0, sums, Sum{});
    for (unsigned c = threadIdx.x; c < columns; c += blockDim.x) {
        result[c] = exp(row[c] - maximum) / sum;
    }
}
VESTRA_STATIC_SHARED_BYTES(rowSoftmaxKernel, 2 * kSoftmaxWarps * sizeof(double));

// The sum of each block's kReductionBlock elements, halving in shared memory with a barrier per step.
__global__ void blockSumKernel(const double* __restrict__ in,  // [count]
                               double* __restrict__ partials,  // [blocks]
                               std::uint64_t count) {
    VESTRA_SHARED_ARRAY(double, cache, kReductionBlock);
    const std::uint64_t i = globalThreadIndex();
    cache[threadIdx.x] = i < count ? in[i] : 0.0;
    __syncthreads();
    for (unsigned stride = blockDim.x / 2; stride > 0; stride /= 2) {
        if (threadIdx.x < stride) {
            cache[threadIdx.x] += cache[threadIdx.x + stride];
        }
        __syncthreads();
    }
    if (threadIdx.x == 0) {
        partials[blockIdx.x] = cache[0];
    }
}
VESTRA_STATIC_SHARED_BYTES(blockSumKernel, kReductionBlock * sizeof(double));

std::vector<double> randomValues(std::uint64_t count, std::uint32_t seed) {
    std::mt19937_64 generator(seed);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    std::vector<double> values(count);
    for (double& value : values) {
        value = uniform(generator);
    }
    return values;
}

std::vector<double> downloaded(const TransformerCudaContext& context, const DeviceBuffer<double>& device,
                               const char* operation) {
    std::vector<double> host(device.count());
    download(context, host, device, operation);
    synchronize(context, operation);
    return host;
}

// Throws, naming the worst element, where the device's result differs from the host's by more than
// another summation order explains; NaN never passes.
void requireClose(const std::string& name, const std::vector<double>& expected, const std::vector<double>& got) {
    constexpr double kTolerance = 1e-9;
    std::size_t worst = 0;
    double worstError = 0.0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const double error = std::abs(got[i] - expected[i]) / (1.0 + std::abs(expected[i]));
        if (std::isnan(error) || error > worstError) {
            worst = i;
            worstError = std::isnan(error) ? HUGE_VAL : error;
        }
    }
    if (worstError > kTolerance) {
        throw std::runtime_error(name + ": element " + std::to_string(worst) + " is " + std::to_string(got[worst]) +
                                 ", the host gives " + std::to_string(expected[worst]));
    }
}

// One launch in checking mode, which must pass: a fault here is the device's verdict on the kernel.
template <class Launch>
void launchChecked(const std::string& name, Launch launchOnce) {
    CpuDevice::setChecking(true);
    launchOnce();
    const cudaError_t status = cudaGetLastError();
    CpuDevice::setChecking(false);
    if (status != cudaSuccess) {
        throw std::runtime_error(name + " in checking mode: " + cudaGetErrorString(status) + ": " +
                                 CpuDevice::lastKernelFault());
    }
}

struct Figures {
    double uncheckedMs;
    double checkedMs;

    [[nodiscard]] double ratio() const { return checkedMs / uncheckedMs; }
};

// The fastest unchecked and checked launch, taking turns.
template <class Launch>
Figures timeBothModes(const std::string& name, Launch launchOnce) {
    const auto inMode = [&](bool checking) {
        return [&, checking] {
            CpuDevice::setChecking(checking);
            launchOnce();
            checkKernels(name.c_str());
        };
    };
    const auto best = fastestInTurns(kRepetitions, inMode(false), inMode(true));
    CpuDevice::setChecking(false);
    return {best[0], best[1]};
}

void print(const std::string& name, const std::string& size, const Figures& figures) {
    std::printf("%-14s %-22s %12.2f %12.2f %9.1fx\n", name.c_str(), size.c_str(), figures.uncheckedMs,
                figures.checkedMs, figures.ratio());
}

// Compares the checked launch's result with the host's, then times the launch in both modes and
// prints its line.
template <class Launch>
Figures checkedAndTimed(const TransformerCudaContext& context, const std::string& name, const std::string& size,
                        const std::vector<double>& expected, const DeviceBuffer<double>& result, Launch launchOnce) {
    requireClose(name, expected, downloaded(context, result, "download a result"));
    const Figures figures = timeBothModes(name, launchOnce);
    print(name, size, figures);
    return figures;
}

Figures axpy(const TransformerCudaContext& context, std::uint64_t count) {
    const std::string name = "element-wise";
    const double a = 0.75;
    const std::vector<double> x = randomValues(count, 1);
    const std::vector<double> y = randomValues(count, 2);
    const auto xDevice = uploadBuffer(context, x, "upload x");
    auto yDevice = uploadBuffer(context, y, "upload y");
    const auto launchOnce = [&] {
        launch<axpyKernel>(blocksFor(count, kElementBlock), kElementBlock, 0, context.stream, xDevice.get(),
                           yDevice.get(), a, count);
    };
    launchChecked(name, launchOnce);
    std::vector<double> expected(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        expected[i] = a * x[i] + y[i];
    }
    return checkedAndTimed(context, name, std::to_string(count) + " doubles", expected, yDevice, launchOnce);
}

Figures transpose(const TransformerCudaContext& context, unsigned rows, unsigned columns) {
    const std::string name = "transpose";
    const std::vector<double> in = randomValues(std::uint64_t{rows} * columns, 3);
    const auto inDevice = uploadBuffer(context, in, "upload matrix");
    DeviceBuffer<double> outDevice(context, in.size());
    const auto launchOnce = [&] {
        launch<transposeKernel>(dim3(blocksFor(columns, kTransposeTile), blocksFor(rows, kTransposeTile)),
                                dim3(kTransposeTile, kTransposeRows), 0, context.stream, inDevice.get(),
                                outDevice.get(), rows, columns);
    };
    launchChecked(name, launchOnce);
    std::vector<double> expected(in.size());
    for (std::uint64_t r = 0; r < rows; ++r) {
        for (std::uint64_t c = 0; c < columns; ++c) {
            expected[c * rows + r] = in[r * columns + c];
        }
    }
    return checkedAndTimed(context, name, std::to_string(rows) + "x" + std::to_string(columns), expected, outDevice,
                           launchOnce);
}

Figures product(const TransformerCudaContext& context, unsigned rows, unsigned inner, unsigned columns) {
    const std::string name = "matmul";
    const std::vector<double> a = randomValues(std::uint64_t{rows} * inner, 4);
    const std::vector<double> b = randomValues(std::uint64_t{inner} * columns, 5);
    const auto aDevice = uploadBuffer(context, a, "upload a");
    const auto bDevice = uploadBuffer(context, b, "upload b");
    DeviceBuffer<double> cDevice(context, std::uint64_t{rows} * columns);
    const auto launchOnce = [&] {
        launch<tiledProductKernel>(dim3(blocksFor(columns, kProductTile), blocksFor(rows, kProductTile)),
                                   dim3(kProductTile, kProductTile), 0, context.stream, aDevice.get(), bDevice.get(),
                                   cDevice.get(), rows, inner, columns);
    };
    launchChecked(name, launchOnce);
    std::vector<double> expected(cDevice.count(), 0.0);
    for (std::uint64_t r = 0; r < rows; ++r) {
        for (std::uint64_t k = 0; k < inner; ++k) {
            for (std::uint64_t c = 0; c < columns; ++c) {
                expected[r * columns + c] += a[r * inner + k] * b[k * columns + c];
            }
        }
    }
    return checkedAndTimed(context, name,
                           std::to_string(rows) + "x" + std::to_string(inner) + "x" + std::to_string(columns), expected,
                           cDevice, launchOnce);
}

Figures stencil(const TransformerCudaContext& context, std::uint64_t count) {
    const std::string name = "stencil";
    const std::vector<double> in = randomValues(count, 6);
    const auto inDevice = uploadBuffer(context, in, "upload stencil input");
    DeviceBuffer<double> outDevice(context, count);
    const auto launchOnce = [&] {
        launch<stencilKernel>(blocksFor(count, kElementBlock), kElementBlock, (kElementBlock + 2) * sizeof(double),
                              context.stream, inDevice.get(), outDevice.get(), count);
    };
    launchChecked(name, launchOnce);
    std::vector<double> expected(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        const double left = i > 0 ? in[i - 1] : 0.0;
        const double right = i + 1 < count ? in[i + 1] : 0.0;
        expected[i] = 0.25 * left + 0.5 * in[i] + 0.25 * right;
    }
    return checkedAndTimed(context, name, std::to_string(count) + " doubles", expected, outDevice, launchOnce);
}

Figures softmax(const TransformerCudaContext& context, unsigned rows, unsigned columns) {
    const std::string name = "row softmax";
    std::vector<double> in = randomValues(std::uint64_t{rows} * columns, 7);
    for (double& value : in) {
        value *= 8.0;
    }
    const auto inDevice = uploadBuffer(context, in, "upload logits");
    DeviceBuffer<double> outDevice(context, in.size());
    const auto launchOnce = [&] {
        launch<rowSoftmaxKernel>(rows, kSoftmaxBlock, 0, context.stream, inDevice.get(), outDevice.get(), columns);
    };
    launchChecked(name, launchOnce);
    std::vector<double> expected(in.size());
    for (std::uint64_t r = 0; r < rows; ++r) {
        const double* row = in.data() + r * columns;
        double maximum = -HUGE_VAL;
        for (unsigned c = 0; c < columns; ++c) {
            maximum = std::max(maximum, row[c]);
        }
        double sum = 0.0;
        for (unsigned c = 0; c < columns; ++c) {
            sum += std::exp(row[c] - maximum);
        }
        for (unsigned c = 0; c < columns; ++c) {
            expected[r * columns + c] = std::exp(row[c] - maximum) / sum;
        }
    }
    return checkedAndTimed(context, name, std::to_string(rows) + "x" + std::to_string(columns), expected, outDevice,
                           launchOnce);
}

Figures reduction(const TransformerCudaContext& context, std::uint64_t count) {
    const std::string name = "block sum";
    const std::vector<double> in = randomValues(count, 8);
    const auto inDevice = uploadBuffer(context, in, "upload reduction input");
    const unsigned blocks = blocksFor(count, kReductionBlock);
    DeviceBuffer<double> partials(context, blocks);
    const auto launchOnce = [&] {
        launch<blockSumKernel>(blocks, kReductionBlock, 0, context.stream, inDevice.get(), partials.get(), count);
    };
    launchChecked(name, launchOnce);
    std::vector<double> expected(blocks, 0.0);
    for (std::uint64_t i = 0; i < count; ++i) {
        expected[i / kReductionBlock] += in[i];
    }
    return checkedAndTimed(context, name, std::to_string(count) + " doubles", expected, partials, launchOnce);
}

void run(const TransformerCudaContext& context) {
    CpuDevice::setExecutionThreads(1);
    std::printf("checking mode against unchecked launches, one host thread, fastest of %d\n", kRepetitions);
    std::printf("%-14s %-22s %12s %12s %10s\n", "kernel", "size", "unchecked ms", "checked ms", "ratio");
    const std::uint64_t smallElementwise = std::uint64_t{1} << 16;
    const std::uint64_t largeElementwise = std::uint64_t{1} << 18;
    const Figures small = axpy(context, smallElementwise);
    // The six kernels, element-wise at the larger size.
    std::vector<Figures> all;
    all.push_back(axpy(context, largeElementwise));
    all.push_back(transpose(context, 500, 300));
    all.push_back(product(context, 250, 256, 240));
    all.push_back(stencil(context, 300'001));
    all.push_back(softmax(context, 256, 1000));
    all.push_back(reduction(context, std::uint64_t{1} << 18));
    double logSum = 0.0;
    for (const Figures& figures : all) {
        logSum += std::log(figures.ratio());
    }
    std::printf("geometric mean of the ratios over the six kernels: %.1fx\n",
                std::exp(logSum / static_cast<double>(all.size())));
    // Checking that costs the same per element keeps both figures equal; four times the elements at
    // four times the cost per element is a checked time quadratic in size.
    const auto perElement = [](const Figures& figures, std::uint64_t count) {
        return figures.checkedMs * 1e6 / static_cast<double>(count);
    };
    std::printf("element-wise, checked ns per element: %.1f at %llu elements, %.1f at %llu (ratio %.1fx, %.1fx)\n",
                perElement(small, smallElementwise), static_cast<unsigned long long>(smallElementwise),
                perElement(all[0], largeElementwise), static_cast<unsigned long long>(largeElementwise), small.ratio(),
                all[0].ratio());
}

}  // namespace
}  // namespace Halcyne::Core::Vestra

int main() {
    using namespace Halcyne::Core::Vestra;
    try {
        const TransformerCudaSession session(0);
        run(session.context());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
