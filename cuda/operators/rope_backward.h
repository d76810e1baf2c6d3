// The gradient of rotary position encoding on the device: the inverse rotation of a gradient
// [batch * sequence, heads * headDim], each row at its position within its sequence.
#pragma once

#include <cstdint>

#include "core/tensor.h"
#include "cuda/transformer_cuda_context.h"

namespace Halcyne::Core::Vestra {

// Throws std::invalid_argument "CUDA RoPE backward shape mismatch" before any device work unless
// headDim is even, the gradient has exactly the extents [batch * sequence, heads * headDim] and
// base > 0.
[[nodiscard]] Tensor cudaRopeBackward(const Tensor& outputGradient, std::uint64_t batch, std::uint64_t sequence,
                                      std::uint64_t heads, std::uint64_t headDim, double base,
                                      const TransformerCudaContext& context);

}  // namespace Halcyne::Core::Vestra
