// The conversions around the BF16 tensor-core GEMMs: doubles to bfloat16 (round to nearest even,
// the platform's conversion) for weight mirrors and GEMM inputs, and FP32 GEMM results widened
// back to double, element by element (forEachThreadElement).
#pragma once

#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/kernels/thread_index.cuh"

namespace Halcyne::Core::Vestra {
namespace {

VESTRA_ELEMENT_LOOPS __global__ void doubleToBfloat16Kernel(const double* __restrict__ input,  // [count]
                                                            bfloat16* __restrict__ output,     // [count]
                                                            std::uint64_t count) {
    forEachThreadElement(count, [&](std::uint64_t i) { output[i] = __double2bfloat16(input[i]); });
}

VESTRA_ELEMENT_LOOPS __global__ void floatToDoubleKernel(const float* __restrict__ input,  // [count]
                                                         double* __restrict__ output,      // [count]
                                                         std::uint64_t count) {
    forEachThreadElement(count, [&](std::uint64_t i) { output[i] = static_cast<double>(input[i]); });
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
