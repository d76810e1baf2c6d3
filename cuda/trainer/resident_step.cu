#include "cuda/trainer/resident_step.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "cuda/device_transfers.h"
#include "cuda/kernels/adamw.cuh"
#include "cuda/kernels/adamw_validation.cuh"
#include "cuda/kernels/gradient_norm.cuh"
#include "cuda/launch.h"
#include "cuda/trainer/device_elementwise.h"
#include "cuda/transformer_cuda_error.h"

namespace Halcyne::Core::Vestra {
namespace {

// Phase 1: the squared norm of every gradient times gradientScale, in parameter order, each
// parameter's 256-element block sums added in order onto one accumulator.
double squaredGradientNorm(ResidentState& state, double gradientScale) {
    const TransformerCudaContext& context = *state.context;
    DeviceBuffer<double> accumulator(context, 1);
    clear(context, accumulator, "clear resident norm");
    std::uint64_t largestGrid = 0;
    for (const ResidentParameter& parameter : state.parameters) {
        largestGrid = std::max<std::uint64_t>(largestGrid, blocksFor(parameter.count(), kElementBlock));
    }
    const DeviceBuffer<double> partialSums(context, largestGrid);
    for (const ResidentParameter& parameter : state.parameters) {
        const unsigned blocks = blocksFor(parameter.count(), kElementBlock);
        launch<squaredNormPartialKernel>(blocks, kElementBlock, 0, context.stream, parameter.gradient.get(),
                                         parameter.count(), gradientScale, partialSums.get());
        launch<squaredNormFinishKernel>(1, 1, 0, context.stream, partialSums.get(), std::uint64_t{blocks},
                                        accumulator.get());
    }
    // A refused launch must not pass for a small norm.
    checkKernels("resident norm kernels");
    double squaredNorm = 0.0;
    unsigned char* staged = state.scalarStaging.reserve(context, sizeof squaredNorm, "download resident norm");
    copyToHost(context, staged, accumulator.get(), sizeof squaredNorm, "download resident norm");
    synchronize(context, "synchronize resident norm");
    state.scalarStaging.settle();
    std::memcpy(&squaredNorm, staged, sizeof squaredNorm);
    state.scalarBoundaryCrossings += 1;
    return squaredNorm;
}

// Phase 2: whether the update of phase 3 would leave every weight and moment finite. Reads only.
bool updateStaysFinite(ResidentState& state, const ResidentStepHyperparameters& hyper, double gradientScale,
                       double biasCorrection1, double biasCorrection2) {
    const TransformerCudaContext& context = *state.context;
    DeviceBuffer<int> flag(context, 1);
    clear(context, flag, "clear CUDA AdamW validation");
    for (const ResidentParameter& parameter : state.parameters) {
        launch<validateAdamKernel>(blocksFor(parameter.count(), kElementBlock * kThreadElements), kElementBlock, 0,
                                   context.stream, parameter.weights.get(), parameter.gradient.get(),
                                   parameter.firstMoment.get(), parameter.secondMoment.get(), parameter.count(),
                                   gradientScale, hyper.learningRate, hyper.beta1, hyper.beta2, hyper.epsilon,
                                   parameter.decay ? hyper.weightDecay : 0.0, biasCorrection1, biasCorrection2,
                                   flag.get());
    }
    // A refused validation launch must not pass for a clean flag.
    checkKernels("CUDA AdamW validation kernels");
    int raised = 0;
    unsigned char* staged = state.scalarStaging.reserve(context, sizeof raised, "download CUDA AdamW validation");
    copyToHost(context, staged, flag.get(), sizeof raised, "download CUDA AdamW validation");
    synchronize(context, "synchronize CUDA AdamW validation");
    state.scalarStaging.settle();
    std::memcpy(&raised, staged, sizeof raised);
    state.scalarBoundaryCrossings += 1;
    return raised == 0;
}

std::string indexed(const char* operation, std::size_t index) {
    return std::string(operation) + " " + std::to_string(index);
}

}  // namespace

ResidentStepResult residentStep(ResidentState& state, const ResidentStepHyperparameters& hyper, std::uint64_t t,
                                double maxGradientNorm, double gradientScale) {
    const TransformerCudaContext& context = *state.context;
    const double squaredNorm = squaredGradientNorm(state, gradientScale);
    if (!std::isfinite(squaredNorm)) {
        throw std::domain_error("non-finite CUDA gradient norm");
    }
    const double norm = std::sqrt(squaredNorm);
    const double clip = norm > maxGradientNorm ? maxGradientNorm / norm : 1.0;
    const double scale = clip * gradientScale;
    const double biasCorrection1 = 1.0 - std::pow(hyper.beta1, static_cast<double>(t));
    const double biasCorrection2 = 1.0 - std::pow(hyper.beta2, static_cast<double>(t));
    if (!updateStaysFinite(state, hyper, scale, biasCorrection1, biasCorrection2)) {
        throw std::domain_error("CUDA optimizer would produce non-finite state");
    }

    for (std::size_t i = 0; i < state.parameters.size(); ++i) {
        ResidentParameter& parameter = state.parameters[i];
        const std::uint64_t count = parameter.count();
        if (scale != 1.0) {
            launchScale(context, parameter.gradient.get(), count, scale);
            checkKernels(indexed("scale resident gradient", i).c_str());
        }
        launch<adamKernel>(blocksFor(count, kElementBlock * kThreadElements), kElementBlock, 0, context.stream,
                           parameter.weights.get(), parameter.gradient.get(), parameter.firstMoment.get(),
                           parameter.secondMoment.get(), count, hyper.learningRate, hyper.beta1, hyper.beta2,
                           hyper.epsilon, parameter.decay ? hyper.weightDecay : 0.0, biasCorrection1, biasCorrection2);
        checkKernels(indexed("update resident parameter", i).c_str());
        launchDoubleToBfloat16(context, parameter.weights.get(), parameter.bf16Mirror.get(), count);
        clear(context, parameter.gradient, "clear accumulated device gradient");
    }
    checkKernels("resident AdamW update");
    return {norm, clip};
}

}  // namespace Halcyne::Core::Vestra
