// The gradients of the linear product on the device, from host tensors.
#pragma once

#include "core/tensor.h"
#include "cuda/transformer_cuda_context.h"

namespace Halcyne::Core::Vestra {

struct LinearGradients {
    Tensor inputGradient;   // [rows, in] = output gradient x weights
    Tensor weightGradient;  // [out, in] = output gradient^T x input
};

// input [rows, in], weights [out, in], output gradient [rows, out]. Throws std::invalid_argument
// "CUDA linear backward shape mismatch" before any device work when the shapes do not fit.
[[nodiscard]] LinearGradients cudaLinearBackward(const Tensor& input, const Tensor& weights,
                                                 const Tensor& outputGradient, const TransformerCudaContext& context);

}  // namespace Halcyne::Core::Vestra
