// The argument checks the device operator functions share. A host tensor is usable on the device
// when every extent is positive and its values fill the extents exactly: then every launch covers
// at least one element and no upload or kernel reads past what the caller handed over.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>

#include "core/tensor.h"

namespace Halcyne::Core::Vestra {

// elementCount(shape), or nothing where it refuses the shape (a zero extent, a product beyond 64
// bits).
[[nodiscard]] std::optional<std::uint64_t> checkedElementCount(std::span<const std::uint64_t> shape) noexcept;
[[nodiscard]] std::optional<std::uint64_t> checkedElementCount(std::initializer_list<std::uint64_t> shape) noexcept;

// The values fill a shape that elementCount accepts. A rank-0 tensor holding one value is
// well-formed; a default-constructed (absent) tensor is not.
[[nodiscard]] bool isWellFormed(const Tensor& tensor) noexcept;

// Well-formed with exactly the extents {rows, columns}.
[[nodiscard]] bool isMatrix(const Tensor& tensor, std::uint64_t rows, std::uint64_t columns) noexcept;

// Both well-formed with equal extent lists.
[[nodiscard]] bool haveSameShape(const Tensor& a, const Tensor& b) noexcept;

}  // namespace Halcyne::Core::Vestra
