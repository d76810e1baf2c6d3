// RMSNorm of the forward pass (reference/rms_norm.*), one thread per row:
// y = w * (x * inv) with inv = 1 / sqrt(mean(x^2) + epsilon), the sum of squares in column order.
#pragma once

#include <cmath>
#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/kernels/thread_index.cuh"

namespace Halcyne::Core::Vestra {
namespace {

__global__ void trainingRmsKernel(const double* __restrict__ input,   // [rows, width]
                                  const double* __restrict__ weight,  // [width]
                                  double* __restrict__ output,        // [rows, width]
                                  std::uint64_t rows, std::uint64_t width, double epsilon) {
    const std::uint64_t row = globalThreadIndex();
    if (row >= rows) {
        return;
    }
    const double* x = input + row * width;
    double sumOfSquares = 0.0;
    for (std::uint64_t c = 0; c < width; ++c) {
        sumOfSquares += x[c] * x[c];
    }
    const double inverse = 1.0 / sqrt(sumOfSquares / static_cast<double>(width) + epsilon);
    for (std::uint64_t c = 0; c < width; ++c) {
        output[row * width + c] = weight[c] * (x[c] * inverse);
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
