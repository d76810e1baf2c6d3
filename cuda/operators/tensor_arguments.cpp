#include "cuda/operators/tensor_arguments.h"

#include <limits>

namespace Halcyne::Core::Vestra {

bool multiplyWithin64Bits(std::uint64_t a, std::uint64_t b, std::uint64_t& product) noexcept {
    if (b != 0 && a > std::numeric_limits<std::uint64_t>::max() / b) {
        return false;
    }
    product = a * b;
    return true;
}

bool isWellFormed(const Tensor& tensor) noexcept {
    std::uint64_t count = 1;
    for (const std::uint64_t extent : tensor.shape) {
        if (extent == 0 || !multiplyWithin64Bits(count, extent, count)) {
            return false;
        }
    }
    return count == tensor.values.size();
}

bool isMatrix(const Tensor& tensor, std::uint64_t rows, std::uint64_t columns) noexcept {
    return tensor.shape.size() == 2 && tensor.shape[0] == rows && tensor.shape[1] == columns && isWellFormed(tensor);
}

bool haveSameShape(const Tensor& a, const Tensor& b) noexcept {
    return a.shape == b.shape && isWellFormed(a) && isWellFormed(b);
}

}  // namespace Halcyne::Core::Vestra
