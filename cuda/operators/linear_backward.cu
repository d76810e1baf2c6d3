#include "cuda/operators/linear_backward.h"

#include <stdexcept>

#include "cuda/device_transfers.h"
#include "cuda/kernels/linear_backward.cuh"
#include "cuda/launch.h"
#include "cuda/operators/tensor_arguments.h"

namespace Halcyne::Core::Vestra {

LinearGradients cudaLinearBackward(const Tensor& input, const Tensor& weights, const Tensor& outputGradient,
                                   const TransformerCudaContext& context) {
    requireCompleteContext(context);
    if (input.shape.size() != 2 || weights.shape.size() != 2 ||
        !isMatrix(outputGradient, input.shape[0], weights.shape[0]) ||
        !isMatrix(weights, weights.shape[0], input.shape[1]) || !isWellFormed(input)) {
        throw std::invalid_argument("CUDA linear backward shape mismatch");
    }
    const std::uint64_t rows = input.shape[0];
    const std::uint64_t in = input.shape[1];
    const std::uint64_t out = weights.shape[0];

    DeviceBuffer<double> deviceInput(context, input.values.size());
    DeviceBuffer<double> deviceWeights(context, weights.values.size());
    DeviceBuffer<double> gradient(context, outputGradient.values.size());
    DeviceBuffer<double> inputGradient(context, input.values.size());
    DeviceBuffer<double> weightGradient(context, weights.values.size());
    upload(context, deviceInput, input.values, "upload linear input");
    upload(context, deviceWeights, weights.values, "upload linear weights");
    upload(context, gradient, outputGradient.values, "upload linear gradient");
    launch<linearInputGradientKernel>(blocksFor(rows * in, kElementBlock), kElementBlock, 0, context.stream,
                                      gradient.get(), deviceWeights.get(), inputGradient.get(), rows, in, out);
    launch<linearWeightGradientKernel>(blocksFor(out * in, kElementBlock), kElementBlock, 0, context.stream,
                                       deviceInput.get(), gradient.get(), weightGradient.get(), rows, in, out);
    checkKernels("linear backward kernels");

    LinearGradients result{Tensor(input.shape), Tensor(weights.shape)};
    download(context, result.inputGradient.values, inputGradient, "download linear input gradient");
    download(context, result.weightGradient.values, weightGradient, "download linear weight gradient");
    synchronize(context, "synchronize linear backward");
    return result;
}

}  // namespace Halcyne::Core::Vestra
