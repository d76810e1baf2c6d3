#include "cuda/operators/embedding_backward.h"

#include <algorithm>
#include <optional>
#include <stdexcept>

#include "cuda/device_transfers.h"
#include "cuda/kernels/embedding_backward.cuh"
#include "cuda/launch.h"
#include "cuda/operators/tensor_arguments.h"

namespace Halcyne::Core::Vestra {

Tensor cudaEmbeddingBackward(const std::vector<std::uint32_t>& tokens, const Tensor& outputGradient,
                             std::uint64_t vocabulary, const TransformerCudaContext& context) {
    requireCompleteContext(context);
    const std::uint64_t width = outputGradient.shape.size() == 2 ? outputGradient.shape[1] : 0;
    const std::optional<std::uint64_t> tableCount = checkedElementCount({vocabulary, width});
    if (!isMatrix(outputGradient, tokens.size(), width) || !tableCount) {
        throw std::invalid_argument("CUDA embedding backward shape mismatch");
    }
    if (std::ranges::any_of(tokens, [&](std::uint32_t token) { return token >= vocabulary; })) {
        throw std::invalid_argument("CUDA embedding token exceeds vocabulary");
    }

    DeviceBuffer<std::uint32_t> deviceTokens(context, tokens.size());
    DeviceBuffer<double> gradient(context, outputGradient.values.size());
    DeviceBuffer<double> tableGradient(context, *tableCount);
    upload(context, deviceTokens, tokens, "upload embedding tokens");
    upload(context, gradient, outputGradient.values, "upload embedding gradient");
    launch<embeddingBackwardKernel>(blocksFor(*tableCount, kElementBlock), kElementBlock, 0, context.stream,
                                    deviceTokens.get(), gradient.get(), tableGradient.get(), tokens.size(), vocabulary,
                                    width);
    checkKernels("embedding backward kernel");
    Tensor result(Extents{vocabulary, width});
    download(context, result.values, tableGradient, "download embedding gradient");
    synchronize(context, "synchronize embedding backward");
    return result;
}

}  // namespace Halcyne::Core::Vestra
