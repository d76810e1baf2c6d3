// The read-only half of a transactional AdamW step: element by element (forEachThreadElement), the
// update the step would apply (the gradient multiplied by the step's gradient scale), raising a
// shared flag when the new weight or either moment would not be finite. Nothing but the flag is
// written.
#pragma once

#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/kernels/adamw_element.cuh"
#include "cuda/kernels/thread_index.cuh"

namespace Halcyne::Core::Vestra {
namespace {

// Finite: neither NaN (which fails every comparison) nor an infinity.
__device__ __forceinline__ bool isFiniteDouble(double value) {
    return fabs(value) <= 1.7976931348623157e308;
}

VESTRA_ELEMENT_LOOPS __global__ void validateAdamKernel(
    const double* __restrict__ weights,       // [count]
    const double* __restrict__ gradient,      // [count]
    const double* __restrict__ firstMoment,   // [count]
    const double* __restrict__ secondMoment,  // [count]
    std::uint64_t count, double gradientScale, double learningRate, double beta1, double beta2, double epsilon,
    double weightDecay, double biasCorrection1, double biasCorrection2,
    int* flag) {  // [1], cleared by the host; any non-zero value refuses
    // The thread counts its elements that would not stay finite, without a branch, so that the loop
    // vectorizes; the shared flag is raised once.
    std::uint64_t nonFinite = 0;
    forEachThreadElement(count, [&](std::uint64_t i) {
        const AdamElement next =
            adamElementUpdate(weights[i], gradient[i] * gradientScale, firstMoment[i], secondMoment[i], learningRate,
                              beta1, beta2, epsilon, weightDecay, biasCorrection1, biasCorrection2);
        const bool finite =
            isFiniteDouble(next.weight) && isFiniteDouble(next.firstMoment) && isFiniteDouble(next.secondMoment);
        nonFinite += finite ? 0 : 1;
    });
    if (nonFinite != 0) {
        atomicOr(flag, 1);
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
