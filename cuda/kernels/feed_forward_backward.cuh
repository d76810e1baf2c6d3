// The gradient of the feed-forward activations (reference/feed_forward.*), element by element
// (forEachThreadElement).
// SwiGLU, out = SiLU(gate) * up with s the logistic sigmoid of gate:
//   d gate = dy * up * (s + gate * s * (1 - s)),   d up = dy * gate * s.
// GELU (exact erf form), out = GELU(up):  d up = dy * (Phi(up) + up * phi(up)). The gate is neither
// read nor written for GELU, so both gate pointers may be null.
#pragma once

#include <cmath>
#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/kernels/thread_index.cuh"

namespace Halcyne::Core::Vestra {
namespace {

VESTRA_ELEMENT_LOOPS __global__ void activationBackwardKernel(
    const double* __restrict__ gate,            // [count], SwiGLU only
    const double* __restrict__ up,              // [count]
    const double* __restrict__ outputGradient,  // [count]
    double* __restrict__ gateGradient,          // [count], SwiGLU only
    double* __restrict__ upGradient,            // [count]
    std::uint64_t count, bool swiGlu) {
    // One loop for each activation, so that the SwiGLU loop has no branch and vectorizes.
    if (swiGlu) {
        forEachThreadElement(count, [&](std::uint64_t i) {
            const double dy = outputGradient[i];
            const double g = gate[i];
            const double s = 1.0 / (1.0 + exp(-g));
            gateGradient[i] = dy * up[i] * (s + g * s * (1.0 - s));
            upGradient[i] = dy * g * s;
        });
        return;
    }
    forEachThreadElement(count, [&](std::uint64_t i) {
        const double dy = outputGradient[i];
        const double u = up[i];
        const double cdf = 0.5 * (1.0 + erf(u * 0.7071067811865476));
        const double pdf = 0.3989422804014327 * exp(-0.5 * u * u);
        upGradient[i] = dy * (cdf + u * pdf);
    });
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
