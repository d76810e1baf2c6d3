// The AdamW update of one element, shared by the kernel that applies it and the kernel that only
// checks whether applying it would stay finite: both must compute it the same way, operation for
// operation, so that a check that passes guarantees an update that stays finite.
#pragma once

#include <cmath>

#include "cuda/device_platform.h"

namespace Halcyne::Core::Vestra {
namespace {

struct AdamElement {
    double weight;
    double firstMoment;
    double secondMoment;
};

// The element update of the CPU trainer's step: moments first, then the bias-corrected ratio plus
// the decay term on the weight before the update, scaled by the learning rate.
__device__ __forceinline__ AdamElement adamElementUpdate(double w, double g, double m, double v, double learningRate,
                                                         double beta1, double beta2, double epsilon, double weightDecay,
                                                         double biasCorrection1, double biasCorrection2) {
    const double first = beta1 * m + (1.0 - beta1) * g;
    const double second = beta2 * v + ((1.0 - beta2) * g) * g;
    const double update = (first / biasCorrection1) / (sqrt(second / biasCorrection2) + epsilon) + weightDecay * w;
    return {w - learningRate * update, first, second};
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
