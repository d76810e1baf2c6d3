// The device half of the trainer's optimizer step, transactional: the global gradient norm and a
// finiteness check of the whole update are decided, with two scalar reads, before any weight,
// moment, gradient or mirror is written.
#pragma once

#include <cstdint>

#include "cuda/trainer/resident_state.h"

namespace Halcyne::Core::Vestra {

struct ResidentStepHyperparameters {
    double learningRate;  // the scheduled rate of this step
    double beta1;
    double beta2;
    double epsilon;
    double weightDecay;
};

struct ResidentStepResult {
    double gradientNorm;  // of the averaged gradient, before clipping
    double clipScale;     // 1.0 when not clipped
};

// Averages the accumulated gradients by gradientScale (1 / batches), clips to maxGradientNorm and
// applies AdamW step t to every parameter, then refreshes the mirrors and clears the gradients.
// Refusals that change nothing but scalarBoundaryCrossings: std::domain_error "non-finite CUDA
// gradient norm" (after the first read), "CUDA optimizer would produce non-finite state" (after
// the second); device failures before the update, under "clear resident norm", "download resident
// norm", "synchronize resident norm", "clear CUDA AdamW validation", "download CUDA AdamW
// validation", "synchronize CUDA AdamW validation", change nothing either. A failure during the
// update ("scale resident gradient <i>", "update resident parameter <i>", "clear accumulated device
// gradient", "resident AdamW update") leaves the parameters before i updated.
[[nodiscard]] ResidentStepResult residentStep(ResidentState& state, const ResidentStepHyperparameters& hyper,
                                              std::uint64_t t, double maxGradientNorm, double gradientScale);

}  // namespace Halcyne::Core::Vestra
