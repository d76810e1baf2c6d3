#include "cuda/operators/tensor_arguments.h"

#include <exception>

namespace Halcyne::Core::Vestra {

std::optional<std::uint64_t> checkedElementCount(std::span<const std::uint64_t> shape) noexcept {
    try {
        return elementCount(shape);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::uint64_t> checkedElementCount(std::initializer_list<std::uint64_t> shape) noexcept {
    return checkedElementCount(std::span<const std::uint64_t>(shape.begin(), shape.size()));
}

bool isWellFormed(const Tensor& tensor) noexcept {
    return checkedElementCount(tensor.shape) == tensor.values.size();
}

bool isMatrix(const Tensor& tensor, std::uint64_t rows, std::uint64_t columns) noexcept {
    return tensor.shape.size() == 2 && tensor.shape[0] == rows && tensor.shape[1] == columns && isWellFormed(tensor);
}

bool haveSameShape(const Tensor& a, const Tensor& b) noexcept {
    return a.shape == b.shape && isWellFormed(a) && isWellFormed(b);
}

}  // namespace Halcyne::Core::Vestra
