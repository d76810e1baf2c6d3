// The gradient of the embedding table on the device: the scatter of a gradient [tokens, width]
// into a table gradient [vocabulary, width] by token id.
#pragma once

#include <cstdint>
#include <vector>

#include "core/tensor.h"
#include "cuda/transformer_cuda_context.h"

namespace Halcyne::Core::Vestra {

// Throws std::invalid_argument before any device work: "CUDA embedding backward shape mismatch"
// unless the gradient has exactly two extents, the first equal to the number of tokens, and the
// vocabulary is positive; "CUDA embedding token exceeds vocabulary" for a token id >= vocabulary.
[[nodiscard]] Tensor cudaEmbeddingBackward(const std::vector<std::uint32_t>& tokens, const Tensor& outputGradient,
                                           std::uint64_t vocabulary, const TransformerCudaContext& context);

}  // namespace Halcyne::Core::Vestra
