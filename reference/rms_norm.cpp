#include "reference/rms_norm.h"

#include <cmath>
#include <stdexcept>

#include "reference/operator_value.h"

namespace Halcyne::Core::Vestra {

Tensor rmsNorm(const Tensor& input, const Tensor& weight, std::uint64_t rows, std::uint64_t dim, double epsilon,
               bool doublePrecision) {
    if (!std::isfinite(epsilon) || !(epsilon > 0.0)) {
        throw std::invalid_argument("RMSNorm epsilon must be finite and positive");
    }
    requireShape(input, {rows, dim}, "RMSNorm input");
    requireShape(weight, {dim}, "RMSNorm weight");
    Tensor output(Extents{rows, dim}, 0.0, doublePrecision);
    for (std::uint64_t r = 0; r < rows; ++r) {
        const double* x = input.values.data() + r * dim;
        double* y = output.values.data() + r * dim;
        double sumOfSquares = 0.0;
        for (std::uint64_t c = 0; c < dim; ++c) {
            sumOfSquares += x[c] * x[c];
        }
        const double inverse = 1.0 / std::sqrt(sumOfSquares / static_cast<double>(dim) + epsilon);
        for (std::uint64_t c = 0; c < dim; ++c) {
            y[c] = checkOperatorValue(weight.values[c] * (x[c] * inverse), doublePrecision);
        }
    }
    return output;
}

}  // namespace Halcyne::Core::Vestra
