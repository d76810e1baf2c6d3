#include "core/tensor.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

namespace Halcyne::Core::Vestra {

std::uint64_t elementCount(std::span<const std::uint64_t> shape) {
    std::uint64_t count = 1;
    for (const std::uint64_t extent : shape) {
        if (extent == 0) {
            throw std::invalid_argument("tensor extent must be positive");
        }
        if (extent > std::numeric_limits<std::uint64_t>::max() / count) {
            throw std::overflow_error("tensor shape overflows size_t");
        }
        count *= extent;
    }
    return count;
}

Tensor::Tensor(Extents shapeIn, double fill, bool doublePrecisionIn)
    : shape(std::move(shapeIn)),
      values(static_cast<std::size_t>(elementCount(shape)), fill),
      doublePrecision(doublePrecisionIn) {
    static_assert(sizeof(std::size_t) == sizeof(std::uint64_t), "element counts are 64-bit");
}

// Out of line and cold, so that the inline index walk stays small.
void Tensor::throwRankMismatch() {
    throw std::out_of_range("tensor rank mismatch");
}

void Tensor::throwIndexOutOfBounds() {
    throw std::out_of_range("tensor index out of bounds");
}

void requireShape(const Tensor& tensor, std::span<const std::uint64_t> expected, std::string_view name) {
    if (!std::ranges::equal(tensor.shape, expected)) {
        throw std::invalid_argument(std::string(name) + " has an invalid shape");
    }
}

void requireShape(const Tensor& tensor, std::initializer_list<std::uint64_t> expected, std::string_view name) {
    requireShape(tensor, std::span<const std::uint64_t>(expected.begin(), expected.size()), name);
}

}  // namespace Halcyne::Core::Vestra
