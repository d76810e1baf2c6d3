#include "reference/feed_forward.h"

#include <cmath>
#include <stdexcept>

#include "reference/linear.h"
#include "reference/operator_value.h"

namespace Halcyne::Core::Vestra {

Tensor feedForward(const Tensor& input, const Tensor& gate, const Tensor& up, const Tensor& down, std::uint64_t rows,
                   std::uint64_t modelDim, std::uint64_t ffnDim, FeedForwardKind kind, bool doublePrecision) {
    const Tensor u = linear(input, up, rows, modelDim, ffnDim, doublePrecision);
    Tensor hidden(Extents{rows, ffnDim}, 0.0, doublePrecision);
    switch (kind) {
        case FeedForwardKind::Gelu:
            for (std::size_t i = 0; i < u.values.size(); ++i) {
                const double x = u.values[i];
                hidden.values[i] =
                    checkOperatorValue((std::erf(x * 0.7071067811865476) + 1.0) * (x * 0.5), doublePrecision);
            }
            break;
        case FeedForwardKind::SwiGlu: {
            const Tensor g = linear(input, gate, rows, modelDim, ffnDim, doublePrecision);
            for (std::size_t i = 0; i < u.values.size(); ++i) {
                const double x = g.values[i];
                hidden.values[i] = checkOperatorValue((x / (std::exp(-x) + 1.0)) * u.values[i], doublePrecision);
            }
            break;
        }
        default:
            throw std::invalid_argument("unknown feed-forward operator");
    }
    return linear(hidden, down, rows, ffnDim, modelDim, doublePrecision);
}

}  // namespace Halcyne::Core::Vestra
