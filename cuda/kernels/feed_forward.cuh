// The feed-forward activation of the forward pass (reference/feed_forward.*), element by element
// (forEachThreadElement): SwiGLU, SiLU(gate) * up; or GELU(up) in its exact erf form, which never
// reads the gate.
#pragma once

#include <cmath>
#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/kernels/thread_index.cuh"

namespace Halcyne::Core::Vestra {
namespace {

VESTRA_ELEMENT_LOOPS __global__ void trainingActivationKernel(const double* __restrict__ gate,  // [count], SwiGLU only
                                                              const double* __restrict__ up,    // [count]
                                                              double* __restrict__ output,      // [count]
                                                              std::uint64_t count, bool swiGlu) {
    // One loop for each activation, so that the SwiGLU loop has no branch and vectorizes.
    if (swiGlu) {
        forEachThreadElement(count, [&](std::uint64_t i) {
            const double g = gate[i];
            output[i] = (g / (exp(-g) + 1.0)) * up[i];
        });
        return;
    }
    forEachThreadElement(count, [&](std::uint64_t i) {
        const double u = up[i];
        output[i] = (erf(u * 0.7071067811865476) + 1.0) * (u * 0.5);
    });
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
