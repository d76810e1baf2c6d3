#include "cuda/operators/rms_norm_backward.h"

#include <stdexcept>

#include "cuda/device_transfers.h"
#include "cuda/kernels/rms_norm_backward.cuh"
#include "cuda/launch.h"
#include "cuda/operators/tensor_arguments.h"

namespace Halcyne::Core::Vestra {

RmsNormGradients cudaRmsNormBackward(const Tensor& input, const Tensor& weights, const Tensor& outputGradient,
                                     double epsilon, const TransformerCudaContext& context) {
    requireCompleteContext(context);
    if (input.shape.size() != 2 || weights.shape.size() != 1 || !haveSameShape(outputGradient, input) ||
        weights.shape[0] != input.shape[1] || !isWellFormed(weights) || !(epsilon > 0.0)) {
        throw std::invalid_argument("CUDA RMSNorm backward shape mismatch");
    }
    const std::uint64_t rows = input.shape[0];
    const std::uint64_t width = input.shape[1];

    DeviceBuffer<double> deviceInput(context, input.values.size());
    DeviceBuffer<double> deviceWeights(context, width);
    DeviceBuffer<double> gradient(context, input.values.size());
    DeviceBuffer<double> inputGradient(context, input.values.size());
    DeviceBuffer<double> weightGradient(context, width);
    DeviceBuffer<double> inverseRms(context, rows);
    DeviceBuffer<double> rowDot(context, rows);
    upload(context, deviceInput, input.values, "upload RMS input");
    upload(context, deviceWeights, weights.values, "upload RMS weights");
    upload(context, gradient, outputGradient.values, "upload RMS gradient");
    launch<rmsBackwardStatsKernel>(blocksFor(rows, kElementBlock), kElementBlock, 0, context.stream, deviceInput.get(),
                                   deviceWeights.get(), gradient.get(), inverseRms.get(), rowDot.get(), rows, width,
                                   epsilon);
    launch<rmsInputGradientKernel>(blocksFor(rows * width, kElementBlock * kThreadElements), kElementBlock, 0,
                                   context.stream, deviceInput.get(), deviceWeights.get(), gradient.get(),
                                   inverseRms.get(), rowDot.get(), inputGradient.get(), rows, width);
    launch<rmsWeightGradientKernel>(blocksFor(width, kElementBlock), kElementBlock, 0, context.stream,
                                    deviceInput.get(), gradient.get(), inverseRms.get(), weightGradient.get(), rows,
                                    width);
    checkKernels("RMSNorm backward kernels");

    RmsNormGradients result{Tensor(input.shape), Tensor(weights.shape)};
    download(context, result.inputGradient.values, inputGradient, "download RMS input gradient");
    download(context, result.weightGradient.values, weightGradient, "download RMS weight gradient");
    synchronize(context, "synchronize RMS backward");
    return result;
}

}  // namespace Halcyne::Core::Vestra
