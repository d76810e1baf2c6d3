// cudaAttentionBackward: argument checks, then buffers, uploads, the path choice, one group of
// launches, downloads and one synchronisation, all on the context stream.
#include "cuda/operators/attention_backward.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <stdexcept>

#include "cuda/device_transfers.h"
#include "cuda/kernels/attention_backward.cuh"
#include "cuda/kernels/attention_fused_backward.cuh"
#include "cuda/launch.h"
#include "cuda/operators/tensor_arguments.h"
#include "cuda/transformer_cuda_error.h"

namespace Halcyne::Core::Vestra {
namespace {

constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

// The lengths the kernels read: one per batch row, an empty list meaning every row is full.
std::vector<std::uint64_t> checkedArguments(const Tensor& query, const Tensor& key, const Tensor& value,
                                            const Tensor& outputGradient, std::uint64_t batch, std::uint64_t sequence,
                                            std::uint64_t queryHeads, std::uint64_t kvHeads, std::uint64_t headDim,
                                            const std::vector<std::uint64_t>& lengths) {
    const std::optional<std::uint64_t> rows = checkedElementCount({batch, sequence});
    const std::optional<std::uint64_t> queryWidth = checkedElementCount({queryHeads, headDim});
    const std::optional<std::uint64_t> kvWidth = checkedElementCount({kvHeads, headDim});
    const bool shapesMatch = queryHeads != 0 && kvHeads != 0 && queryHeads % kvHeads == 0 && rows && queryWidth &&
                             kvWidth && isMatrix(query, *rows, *queryWidth) && isMatrix(key, *rows, *kvWidth) &&
                             haveSameShape(value, key) && haveSameShape(outputGradient, query);
    if (!shapesMatch) {
        throw std::invalid_argument("CUDA attention backward shape mismatch");
    }
    std::vector<std::uint64_t> rowLengths = lengths.empty() ? std::vector<std::uint64_t>(batch, sequence) : lengths;
    if (rowLengths.size() != batch) {
        throw std::invalid_argument("CUDA attention backward lengths mismatch");
    }
    for (const std::uint64_t length : rowLengths) {
        if (length > sequence) {
            throw std::invalid_argument("CUDA attention backward length exceeds sequence");
        }
    }
    return rowLengths;
}

// The fused kernels' static shared memory is asked of the runtime rather than assumed: under nvcc
// it is what the compiler allocated.
AttentionBackwardPath devicePath(std::uint64_t headDim, std::uint64_t sequence, const TransformerCudaContext& context) {
    int limit = 0;
    checkCuda(cudaDeviceGetAttribute(&limit, cudaDevAttrMaxSharedMemoryPerBlock, context.device),
              "query attention shared-memory limit");
    cudaFuncAttributes queryRow{};
    cudaFuncAttributes kvHead{};
    checkCuda(cudaFuncGetAttributes(&queryRow, attentionQueryRowBackwardKernel), "query attention kernel attributes");
    checkCuda(cudaFuncGetAttributes(&kvHead, attentionKvHeadBackwardKernel), "query attention kernel attributes");
    return selectAttentionBackwardPath(headDim, sequence, static_cast<std::uint64_t>(std::int64_t{limit}),
                                       std::max(queryRow.sharedSizeBytes, kvHead.sharedSizeBytes));
}

// A grid beyond 32 bits is passed as 0, which the launch refuses, rather than wrapped.
unsigned gridOf(std::uint64_t blocks) {
    return blocks <= std::numeric_limits<unsigned>::max() ? static_cast<unsigned>(blocks) : 0;
}

AttentionGradients attentionBackward(const Tensor& query, const Tensor& key, const Tensor& value,
                                     const Tensor& outputGradient, std::uint64_t batch, std::uint64_t sequence,
                                     std::uint64_t queryHeads, std::uint64_t kvHeads, std::uint64_t headDim,
                                     const std::vector<std::uint64_t>& lengths,
                                     std::optional<AttentionBackwardPath> requestedPath,
                                     const TransformerCudaContext& context) {
    requireCompleteContext(context);
    const std::vector<std::uint64_t> rowLengths =
        checkedArguments(query, key, value, outputGradient, batch, sequence, queryHeads, kvHeads, headDim, lengths);

    DeviceBuffer<double> queryDevice(context, query.values.size());
    DeviceBuffer<double> keyDevice(context, key.values.size());
    DeviceBuffer<double> valueDevice(context, value.values.size());
    DeviceBuffer<double> gradientDevice(context, outputGradient.values.size());
    DeviceBuffer<double> queryGradientDevice(context, query.values.size());
    DeviceBuffer<double> keyGradientDevice(context, key.values.size());
    DeviceBuffer<double> valueGradientDevice(context, value.values.size());
    DeviceBuffer<std::uint64_t> lengthsDevice(context, batch);
    upload(context, queryDevice, query.values, "upload attention query");
    upload(context, keyDevice, key.values, "upload attention key");
    upload(context, valueDevice, value.values, "upload attention value");
    upload(context, gradientDevice, outputGradient.values, "upload attention gradient");
    upload(context, lengthsDevice, rowLengths, "upload attention lengths");

    const AttentionBackwardPath path = requestedPath ? *requestedPath : devicePath(headDim, sequence, context);
    if (path == AttentionBackwardPath::Fused) {
        launch<attentionQueryRowBackwardKernel>(
            gridOf(queryHeads * sequence * batch), kAttentionBackwardBlock, sequence * 2 * sizeof(double),
            context.stream, queryDevice.get(), keyDevice.get(), valueDevice.get(), gradientDevice.get(),
            queryGradientDevice.get(), lengthsDevice.get(), sequence, queryHeads, kvHeads, headDim);
        launch<attentionKvHeadBackwardKernel>(gridOf(kvHeads * batch), kAttentionBackwardBlock,
                                              (headDim + 1) * sequence * 2 * sizeof(double), context.stream,
                                              queryDevice.get(), keyDevice.get(), valueDevice.get(),
                                              gradientDevice.get(), keyGradientDevice.get(), valueGradientDevice.get(),
                                              lengthsDevice.get(), sequence, queryHeads, kvHeads, headDim);
    } else {
        launch<attentionQueryBackwardKernel>(
            blocksFor(query.values.size(), kAttentionBackwardBlock), kAttentionBackwardBlock, 0, context.stream,
            queryDevice.get(), keyDevice.get(), valueDevice.get(), gradientDevice.get(), queryGradientDevice.get(),
            lengthsDevice.get(), batch, sequence, queryHeads, kvHeads, headDim);
        launch<attentionKeyBackwardKernel>(
            blocksFor(key.values.size(), kAttentionBackwardBlock), kAttentionBackwardBlock, 0, context.stream,
            queryDevice.get(), keyDevice.get(), valueDevice.get(), gradientDevice.get(), keyGradientDevice.get(),
            lengthsDevice.get(), batch, sequence, queryHeads, kvHeads, headDim);
        launch<attentionValueBackwardKernel>(blocksFor(value.values.size(), kAttentionBackwardBlock),
                                             kAttentionBackwardBlock, 0, context.stream, queryDevice.get(),
                                             keyDevice.get(), gradientDevice.get(), valueGradientDevice.get(),
                                             lengthsDevice.get(), batch, sequence, queryHeads, kvHeads, headDim);
    }
    checkKernels("attention backward kernels");

    AttentionGradients gradients{Tensor(query.shape), Tensor(key.shape), Tensor(value.shape)};
    download(context, gradients.query.values, queryGradientDevice, "download query gradient");
    download(context, gradients.key.values, keyGradientDevice, "download key gradient");
    download(context, gradients.value.values, valueGradientDevice, "download value gradient");
    synchronize(context, "synchronize attention backward");
    return gradients;
}

}  // namespace

AttentionBackwardPath selectAttentionBackwardPath(std::uint64_t headDim, std::uint64_t sequence,
                                                  std::uint64_t sharedMemoryLimit, std::uint64_t staticSharedBytes) {
    constexpr std::uint64_t kBytesPerPosition = 2 * sizeof(double);
    // The KV-head kernel's dynamic shared memory is the larger of the two; every step avoids wrapping.
    const bool fits = headDim < kMaxU64 && (sequence == 0 || headDim + 1 <= kMaxU64 / kBytesPerPosition / sequence) &&
                      staticSharedBytes <= sharedMemoryLimit &&
                      (headDim + 1) * sequence * kBytesPerPosition <= sharedMemoryLimit - staticSharedBytes;
    return fits ? AttentionBackwardPath::Fused : AttentionBackwardPath::ElementParallel;
}

AttentionGradients cudaAttentionBackward(const Tensor& query, const Tensor& key, const Tensor& value,
                                         const Tensor& outputGradient, std::uint64_t batch, std::uint64_t sequence,
                                         std::uint64_t queryHeads, std::uint64_t kvHeads, std::uint64_t headDim,
                                         const std::vector<std::uint64_t>& lengths,
                                         const TransformerCudaContext& context) {
    return attentionBackward(query, key, value, outputGradient, batch, sequence, queryHeads, kvHeads, headDim, lengths,
                             std::nullopt, context);
}

AttentionGradients cudaAttentionBackwardOnPath(const Tensor& query, const Tensor& key, const Tensor& value,
                                               const Tensor& outputGradient, std::uint64_t batch,
                                               std::uint64_t sequence, std::uint64_t queryHeads, std::uint64_t kvHeads,
                                               std::uint64_t headDim, const std::vector<std::uint64_t>& lengths,
                                               AttentionBackwardPath path, const TransformerCudaContext& context) {
    return attentionBackward(query, key, value, outputGradient, batch, sequence, queryHeads, kvHeads, headDim, lengths,
                             path, context);
}

}  // namespace Halcyne::Core::Vestra
