#include "cuda/operators/activation_backward.h"

#include <stdexcept>

#include "cuda/device_transfers.h"
#include "cuda/kernels/feed_forward_backward.cuh"
#include "cuda/launch.h"
#include "cuda/operators/tensor_arguments.h"

namespace Halcyne::Core::Vestra {

ActivationGradients cudaActivationBackward(const Tensor& gate, const Tensor& up, const Tensor& outputGradient,
                                           FeedForwardKind kind, const TransformerCudaContext& context) {
    requireCompleteContext(context);
    if (!haveSameShape(up, outputGradient)) {
        throw std::invalid_argument("CUDA activation backward shape mismatch");
    }
    if (kind != FeedForwardKind::Gelu && kind != FeedForwardKind::SwiGlu) {
        throw std::invalid_argument("unknown CUDA activation backward kind");
    }
    const bool swiGlu = kind == FeedForwardKind::SwiGlu;
    if (swiGlu && !haveSameShape(gate, up)) {
        throw std::invalid_argument("CUDA activation backward shape mismatch");
    }
    const std::uint64_t count = up.values.size();
    const std::uint64_t gateCount = swiGlu ? count : 0;

    DeviceBuffer<double> deviceGate(context, gateCount);
    DeviceBuffer<double> deviceUp(context, count);
    DeviceBuffer<double> gradient(context, count);
    DeviceBuffer<double> gateGradient(context, gateCount);
    DeviceBuffer<double> upGradient(context, count);
    if (swiGlu) {
        upload(context, deviceGate, gate.values, "upload activation gate");
    }
    upload(context, deviceUp, up.values, "upload activation up");
    upload(context, gradient, outputGradient.values, "upload activation gradient");
    launch<activationBackwardKernel>(blocksFor(count, kElementBlock * kThreadElements), kElementBlock, 0,
                                     context.stream, deviceGate.get(), deviceUp.get(), gradient.get(),
                                     gateGradient.get(), upGradient.get(), count, swiGlu);
    checkKernels("activation backward kernel");

    ActivationGradients result{swiGlu ? Tensor(gate.shape) : Tensor(), Tensor(up.shape)};
    if (swiGlu) {
        download(context, result.gateGradient.values, gateGradient, "download activation gate gradient");
    }
    download(context, result.upGradient.values, upGradient, "download activation up gradient");
    synchronize(context, "synchronize activation backward");
    return result;
}

}  // namespace Halcyne::Core::Vestra
