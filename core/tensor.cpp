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

std::uint64_t Tensor::offsetOf(std::span<const std::uint64_t> index) const {
    if (index.size() != shape.size()) {
        throw std::out_of_range("tensor rank mismatch");
    }
    std::uint64_t offset = 0;
    for (std::size_t k = 0; k < index.size(); ++k) {
        if (index[k] >= shape[k]) {
            throw std::out_of_range("tensor index out of bounds");
        }
        offset = offset * shape[k] + index[k];
    }
    return offset;
}

std::size_t Tensor::storageIndex(std::span<const std::uint64_t> index) const {
    const std::uint64_t offset = offsetOf(index);
    if (offset >= values.size()) {
        throw std::out_of_range("tensor index out of bounds");
    }
    return static_cast<std::size_t>(offset);
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
