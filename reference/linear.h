// The linear product without bias: output[r][o] = sum over k of input[r][k] * weight[o][k], the
// weight stored [out, in] and every sum running from 0.0 in increasing k.
#pragma once

#include <cstdint>

#include "core/tensor.h"

namespace Halcyne::Core::Vestra {

// The NaN/Inf check (and single-precision rounding) applied to each stored output; the operator
// and the forward pass each report non-finite values at their own level.
using LinearValueCheck = double (*)(double value, bool doublePrecision);

// input [rows, in], weight [out, in] -> [rows, out], each output passed through check.
[[nodiscard]] Tensor linearProduct(const Tensor& input, const Tensor& weight, std::uint64_t rows, std::uint64_t in,
                                   std::uint64_t out, bool doublePrecision, LinearValueCheck check);

// input [rows, in], weight [out, in] -> [rows, out]; each output checked as an operator value.
[[nodiscard]] Tensor linear(const Tensor& input, const Tensor& weight, std::uint64_t rows, std::uint64_t in,
                            std::uint64_t out, bool doublePrecision);

}  // namespace Halcyne::Core::Vestra
