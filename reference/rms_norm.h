// RMSNorm: each row is divided by sqrt(mean of squares + epsilon) and scaled per channel. The
// sum of squares runs from 0.0 in column order; epsilon is added to the mean inside the root.
#pragma once

#include <cstdint>

#include "core/tensor.h"

namespace Halcyne::Core::Vestra {

// input [rows, dim], weight [dim] -> [rows, dim]. The epsilon check comes before the shape checks.
[[nodiscard]] Tensor rmsNorm(const Tensor& input, const Tensor& weight, std::uint64_t rows, std::uint64_t dim,
                             double epsilon, bool doublePrecision);

}  // namespace Halcyne::Core::Vestra
