#include "reference/linear.h"

#include "reference/operator_value.h"

namespace Halcyne::Core::Vestra {

Tensor linearProduct(const Tensor& input, const Tensor& weight, std::uint64_t rows, std::uint64_t in, std::uint64_t out,
                     bool doublePrecision, LinearValueCheck check) {
    requireShape(input, {rows, in}, "linear input");
    requireShape(weight, {out, in}, "linear weight");
    Tensor output(Extents{rows, out}, 0.0, doublePrecision);
    for (std::uint64_t r = 0; r < rows; ++r) {
        for (std::uint64_t o = 0; o < out; ++o) {
            double sum = 0.0;
            for (std::uint64_t k = 0; k < in; ++k) {
                sum += input.at({r, k}) * weight.at({o, k});
            }
            output.at({r, o}) = check(sum, doublePrecision);
        }
    }
    return output;
}

Tensor linear(const Tensor& input, const Tensor& weight, std::uint64_t rows, std::uint64_t in, std::uint64_t out,
              bool doublePrecision) {
    return linearProduct(input, weight, rows, in, out, doublePrecision, checkOperatorValue);
}

}  // namespace Halcyne::Core::Vestra
