// The feed-forward block: GELU (exact erf form) of the up projection, or SwiGLU (SiLU of the gate
// times the up projection), followed by the down projection. GELU never reads the gate weight.
#pragma once

#include <cstdint>

#include "core/tensor.h"
#include "core/transformer_spec.h"

namespace Halcyne::Core::Vestra {

// input [rows, modelDim], gate and up [ffnDim, modelDim], down [modelDim, ffnDim] -> [rows, modelDim].
[[nodiscard]] Tensor feedForward(const Tensor& input, const Tensor& gate, const Tensor& up, const Tensor& down,
                                 std::uint64_t rows, std::uint64_t modelDim, std::uint64_t ffnDim, FeedForwardKind kind,
                                 bool doublePrecision);

}  // namespace Halcyne::Core::Vestra
