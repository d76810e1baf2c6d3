// The gradients of the linear product without bias (reference/linear.*), weights [out, in]: one
// thread per element of the input gradient (gradient x W) and of the weight gradient
// (gradient^T x input). Every sum starts at 0.0 and runs in increasing index order.
#pragma once

#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/kernels/thread_index.cuh"

namespace Halcyne::Core::Vestra {
namespace {

__global__ void linearInputGradientKernel(const double* __restrict__ outputGradient,  // [rows, out]
                                          const double* __restrict__ weights,         // [out, in]
                                          double* __restrict__ inputGradient,         // [rows, in]
                                          std::uint64_t rows, std::uint64_t in, std::uint64_t out) {
    const std::uint64_t i = globalThreadIndex();
    if (i >= rows * in) {
        return;
    }
    const std::uint64_t row = i / in;
    const std::uint64_t column = i % in;
    double sum = 0.0;
    for (std::uint64_t o = 0; o < out; ++o) {
        sum += outputGradient[row * out + o] * weights[o * in + column];
    }
    inputGradient[i] = sum;
}

__global__ void linearWeightGradientKernel(const double* __restrict__ input,           // [rows, in]
                                           const double* __restrict__ outputGradient,  // [rows, out]
                                           double* __restrict__ weightGradient,        // [out, in]
                                           std::uint64_t rows, std::uint64_t in, std::uint64_t out) {
    const std::uint64_t i = globalThreadIndex();
    if (i >= out * in) {
        return;
    }
    const std::uint64_t o = i / in;
    const std::uint64_t column = i % in;
    double sum = 0.0;
    for (std::uint64_t r = 0; r < rows; ++r) {
        sum += outputGradient[r * out + o] * input[r * in + column];
    }
    weightGradient[i] = sum;
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
