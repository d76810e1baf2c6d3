// AdamW on the device, element by element (forEachThreadElement): the element update of the CPU trainer's step
// (training/transformer_trainer.cpp) with the bias corrections computed once by the host.
// Weights and both moments are updated in place; the decay term uses the weight before the update.
#pragma once

#include <cmath>
#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/kernels/adamw_element.cuh"
#include "cuda/kernels/thread_index.cuh"

namespace Halcyne::Core::Vestra {
namespace {

VESTRA_ELEMENT_LOOPS __global__ void adamKernel(double* __restrict__ weights,         // [count]
                                                const double* __restrict__ gradient,  // [count]
                                                double* __restrict__ firstMoment,     // [count]
                                                double* __restrict__ secondMoment,    // [count]
                                                std::uint64_t count, double learningRate, double beta1, double beta2,
                                                double epsilon, double weightDecay, double biasCorrection1,
                                                double biasCorrection2) {
    forEachThreadElement(count, [&](std::uint64_t i) {
        const AdamElement next =
            adamElementUpdate(weights[i], gradient[i], firstMoment[i], secondMoment[i], learningRate, beta1, beta2,
                              epsilon, weightDecay, biasCorrection1, biasCorrection2);
        firstMoment[i] = next.firstMoment;
        secondMoment[i] = next.secondMoment;
        weights[i] = next.weight;
    });
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
