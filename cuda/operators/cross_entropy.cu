#include "cuda/operators/cross_entropy.h"

#include <algorithm>
#include <stdexcept>

#include "cuda/device_transfers.h"
#include "cuda/kernels/cross_entropy.cuh"
#include "cuda/launch.h"
#include "cuda/operators/tensor_arguments.h"

namespace Halcyne::Core::Vestra {

CrossEntropyResult cudaCrossEntropy(const Tensor& logits, const TokenBatch& batch,
                                    const std::vector<std::uint32_t>& targets, const TransformerCudaContext& context) {
    requireCompleteContext(context);
    const bool isBatchShaped = logits.shape.size() == 3 && logits.shape[0] == batch.batch &&
                               logits.shape[1] == batch.width && isWellFormed(logits);
    // A well-formed logits tensor bounds batch * width, so the product cannot wrap.
    const std::uint64_t positions = isBatchShaped ? batch.batch * batch.width : 0;
    if (!isBatchShaped || targets.size() != positions ||
        (!batch.lossMask.empty() && batch.lossMask.size() != positions)) {
        throw std::invalid_argument("CUDA cross-entropy shape mismatch");
    }
    const std::uint64_t vocabulary = logits.shape[2];
    if (std::ranges::any_of(targets, [&](std::uint32_t target) { return target >= vocabulary; })) {
        throw std::invalid_argument("CUDA cross-entropy target exceeds vocabulary");
    }
    const std::vector<std::uint64_t> lengths =
        batch.lengths.empty() ? std::vector<std::uint64_t>(batch.batch, batch.width) : batch.lengths;
    if (lengths.size() != batch.batch) {
        throw std::invalid_argument("CUDA cross-entropy lengths mismatch");
    }
    const std::vector<std::uint32_t> mask(batch.lossMask.begin(), batch.lossMask.end());

    DeviceBuffer<double> deviceLogits(context, logits.values.size());
    DeviceBuffer<std::uint32_t> deviceTargets(context, positions);
    DeviceBuffer<std::uint64_t> deviceLengths(context, batch.batch);
    DeviceBuffer<std::uint32_t> deviceMask(context, mask.size());
    DeviceBuffer<double> logitsGradient(context, logits.values.size());
    DeviceBuffer<double> losses(context, positions);
    upload(context, deviceLogits, logits.values, "upload logits");
    upload(context, deviceTargets, targets, "upload targets");
    upload(context, deviceLengths, lengths, "upload lengths");
    if (!mask.empty()) {
        upload(context, deviceMask, mask, "upload loss mask");
    }
    launch<crossEntropyKernel>(blocksFor(positions, kPositionBlock), kPositionBlock, 0, context.stream,
                               deviceLogits.get(), deviceTargets.get(), deviceLengths.get(), logitsGradient.get(),
                               losses.get(), batch.batch, batch.width, vocabulary);
    if (!mask.empty()) {
        launch<applyLossMaskKernel>(blocksFor(positions, kPositionBlock), kPositionBlock, 0, context.stream,
                                    logitsGradient.get(), losses.get(), deviceMask.get(), positions, vocabulary);
    }
    checkKernels("cross-entropy kernel");

    CrossEntropyResult result{0.0, Tensor(logits.shape)};
    std::vector<double> hostLosses(positions, 0.0);
    download(context, result.logitsGradient.values, logitsGradient, "download logits gradient");
    download(context, hostLosses, losses, "download losses");
    synchronize(context, "synchronize cross-entropy");
    for (const double loss : hostLosses) {
        result.loss += loss;
    }
    return result;
}

}  // namespace Halcyne::Core::Vestra
