// The gradient of the feed-forward activation on the device, from host tensors: SwiGLU (SiLU of the
// gate times up) or GELU of up.
#pragma once

#include "core/tensor.h"
#include "core/transformer_spec.h"
#include "cuda/transformer_cuda_context.h"

namespace Halcyne::Core::Vestra {

struct ActivationGradients {
    Tensor gateGradient;  // shaped like the gate for SwiGLU; an empty Tensor for GELU
    Tensor upGradient;    // shaped like up
};

// up and the output gradient must have the same shape, and for SwiGLU the gate too; GELU never reads
// the gate, whatever its shape. Throws std::invalid_argument before any device work: "CUDA
// activation backward shape mismatch", then "unknown CUDA activation backward kind" for a kind that
// is neither Gelu nor SwiGlu.
[[nodiscard]] ActivationGradients cudaActivationBackward(const Tensor& gate, const Tensor& up,
                                                         const Tensor& outputGradient, FeedForwardKind kind,
                                                         const TransformerCudaContext& context);

}  // namespace Halcyne::Core::Vestra
