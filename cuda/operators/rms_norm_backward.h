// The gradients of RMSNorm on the device, from host tensors.
#pragma once

#include "core/tensor.h"
#include "cuda/transformer_cuda_context.h"

namespace Halcyne::Core::Vestra {

struct RmsNormGradients {
    Tensor inputGradient;   // [rows, width]
    Tensor weightGradient;  // [width]
};

// input [rows, width], weights [width], output gradient [rows, width]. Throws std::invalid_argument
// "CUDA RMSNorm backward shape mismatch" before any device work when the shapes do not fit or
// epsilon is not > 0.
[[nodiscard]] RmsNormGradients cudaRmsNormBackward(const Tensor& input, const Tensor& weights,
                                                   const Tensor& outputGradient, double epsilon,
                                                   const TransformerCudaContext& context);

}  // namespace Halcyne::Core::Vestra
