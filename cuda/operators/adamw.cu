#include "cuda/operators/adamw.h"

#include <cmath>
#include <stdexcept>

#include "cuda/device_transfers.h"
#include "cuda/kernels/adamw.cuh"
#include "cuda/launch.h"
#include "cuda/operators/tensor_arguments.h"

namespace Halcyne::Core::Vestra {
bool isValidAdamWConfig(const CudaAdamWConfig& configuration) {
    const auto isUnitInterval = [](double beta) { return beta >= 0.0 && beta < 1.0; };
    return configuration.learning_rate > 0.0 && isUnitInterval(configuration.beta1) &&
           isUnitInterval(configuration.beta2) && configuration.epsilon > 0.0;
}

void cudaAdamW(Tensor& weights, const Tensor& gradient, CudaAdamWState& state, const CudaAdamWConfig& configuration,
               const TransformerCudaContext& context) {
    requireCompleteContext(context);
    if (!haveSameShape(gradient, weights)) {
        throw std::invalid_argument("CUDA AdamW gradient shape mismatch");
    }
    if (state.step == 0 && state.firstMoment.values.empty()) {
        state.firstMoment = Tensor(weights.shape);
        state.secondMoment = Tensor(weights.shape);
    }
    if (!haveSameShape(state.firstMoment, weights) || !haveSameShape(state.secondMoment, weights)) {
        throw std::invalid_argument("CUDA AdamW state shape mismatch");
    }
    if (!isValidAdamWConfig(configuration)) {
        throw std::invalid_argument("invalid CUDA AdamW configuration");
    }

    const std::uint64_t count = weights.values.size();
    DeviceBuffer<double> deviceWeights(context, count);
    DeviceBuffer<double> deviceGradient(context, count);
    DeviceBuffer<double> firstMoment(context, count);
    DeviceBuffer<double> secondMoment(context, count);
    upload(context, deviceWeights, weights.values, "upload AdamW weights");
    upload(context, deviceGradient, gradient.values, "upload AdamW gradient");
    upload(context, firstMoment, state.firstMoment.values, "upload AdamW first moment");
    upload(context, secondMoment, state.secondMoment.values, "upload AdamW second moment");

    state.step += 1;
    const double t = static_cast<double>(state.step);
    const double biasCorrection1 = 1.0 - std::pow(configuration.beta1, t);
    const double biasCorrection2 = 1.0 - std::pow(configuration.beta2, t);
    launch<adamKernel>(blocksFor(count, kElementBlock * kThreadElements), kElementBlock, 0, context.stream,
                       deviceWeights.get(), deviceGradient.get(), firstMoment.get(), secondMoment.get(), count,
                       configuration.learning_rate, configuration.beta1, configuration.beta2, configuration.epsilon,
                       configuration.weight_decay, biasCorrection1, biasCorrection2);
    checkKernels("AdamW kernel");

    download(context, weights.values, deviceWeights, "download AdamW weights");
    download(context, state.firstMoment.values, firstMoment, "download AdamW first moment");
    download(context, state.secondMoment.values, secondMoment, "download AdamW second moment");
    synchronize(context, "synchronize AdamW");
}

}  // namespace Halcyne::Core::Vestra
