#include "cuda/operators/rope_backward.h"

#include <optional>
#include <stdexcept>

#include "cuda/device_transfers.h"
#include "cuda/kernels/rope_backward.cuh"
#include "cuda/kernels/rope_table.cuh"
#include "cuda/launch.h"
#include "cuda/operators/tensor_arguments.h"

namespace Halcyne::Core::Vestra {

Tensor cudaRopeBackward(const Tensor& outputGradient, std::uint64_t batch, std::uint64_t sequence, std::uint64_t heads,
                        std::uint64_t headDim, double base, const TransformerCudaContext& context) {
    requireCompleteContext(context);
    const std::optional<std::uint64_t> rows = checkedElementCount({batch, sequence});
    const std::optional<std::uint64_t> width = checkedElementCount({heads, headDim});
    if (headDim % 2 != 0 || !rows || !width || !isMatrix(outputGradient, *rows, *width) || !(base > 0.0)) {
        throw std::invalid_argument("CUDA RoPE backward shape mismatch");
    }

    const std::uint64_t count = outputGradient.values.size();
    DeviceBuffer<double> gradientIn(context, count);
    DeviceBuffer<double> gradientOut(context, count);
    upload(context, gradientIn, outputGradient.values, "upload RoPE gradient");
    DeviceBuffer<double> table(context, sequence * headDim);
    launch<ropeTableKernel>(blocksFor(sequence * (headDim / 2), kElementBlock), kElementBlock, 0, context.stream,
                            table.get(), sequence, headDim, base);
    launch<ropeBackwardKernel>(blocksFor(count / 2, kElementBlock * kThreadElements), kElementBlock, 0, context.stream,
                               gradientIn.get(), gradientOut.get(), table.get(), count, sequence, heads, headDim);
    checkKernels("RoPE backward kernel");
    Tensor inputGradient(outputGradient.shape);
    download(context, inputGradient.values, gradientOut, "download RoPE gradient");
    synchronize(context, "synchronize RoPE backward");
    return inputGradient;
}

}  // namespace Halcyne::Core::Vestra
