// Element-wise kernels of the resident trainer, element by element (forEachThreadElement): scaling
// in place, gradient accumulation, the residual add in place and the residual add into a third buffer.
#pragma once

#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/kernels/thread_index.cuh"

namespace Halcyne::Core::Vestra {
namespace {

__global__ void scaleKernel(double* __restrict__ values,  // [count]
                            std::uint64_t count, double factor) {
    forEachThreadElement(count, [&](std::uint64_t i) { values[i] = values[i] * factor; });
}

__global__ void accumulateKernel(double* __restrict__ destination,   // [count]
                                 const double* __restrict__ source,  // [count]
                                 std::uint64_t count) {
    forEachThreadElement(count, [&](std::uint64_t i) { destination[i] = destination[i] + source[i]; });
}

__global__ void trainingAddKernel(double* __restrict__ destination,   // [count]
                                  const double* __restrict__ source,  // [count]
                                  std::uint64_t count) {
    forEachThreadElement(count, [&](std::uint64_t i) { destination[i] = destination[i] + source[i]; });
}

__global__ void trainingAddOutKernel(const double* __restrict__ a,  // [count]
                                     const double* __restrict__ b,  // [count]
                                     double* __restrict__ output,   // [count]
                                     std::uint64_t count) {
    forEachThreadElement(count, [&](std::uint64_t i) { output[i] = a[i] + b[i]; });
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
