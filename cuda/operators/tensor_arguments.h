// The argument checks the device operator functions share. A host tensor is usable on the device
// when every extent is positive and its values fill the extents exactly: then every launch covers
// at least one element and no upload or kernel reads past what the caller handed over.
#pragma once

#include <cstdint>

#include "core/tensor.h"

namespace Halcyne::Core::Vestra {

// Every extent positive, their product within 64 bits and equal to the number of values. A rank-0
// tensor holding one value is well-formed; a default-constructed (absent) tensor is not.
[[nodiscard]] bool isWellFormed(const Tensor& tensor) noexcept;

// Well-formed with exactly the extents {rows, columns}.
[[nodiscard]] bool isMatrix(const Tensor& tensor, std::uint64_t rows, std::uint64_t columns) noexcept;

// Both well-formed with equal extent lists.
[[nodiscard]] bool haveSameShape(const Tensor& a, const Tensor& b) noexcept;

// a * b, or false when the product passes 64 bits.
[[nodiscard]] bool multiplyWithin64Bits(std::uint64_t a, std::uint64_t b, std::uint64_t& product) noexcept;

}  // namespace Halcyne::Core::Vestra
