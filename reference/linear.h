// The linear product without bias: output[r][o] = sum over k of input[r][k] * weight[o][k], the
// weight stored [out, in] and every sum running from 0.0 in increasing k.
#pragma once

#include <cstdint>

#include "core/tensor.h"

namespace Halcyne::Core::Vestra {

// input [rows, in], weight [out, in] -> [rows, out]; each output checked as an operator value.
[[nodiscard]] Tensor linear(const Tensor& input, const Tensor& weight, std::uint64_t rows, std::uint64_t in,
                            std::uint64_t out, bool doublePrecision);

}  // namespace Halcyne::Core::Vestra
