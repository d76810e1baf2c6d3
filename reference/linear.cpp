#include "reference/linear.h"

#include <vector>

#include "core/vector_loops.h"
#include "reference/operator_value.h"

namespace Halcyne::Core::Vestra {
namespace {

constexpr std::uint64_t kTileRows = 4;
constexpr std::uint64_t kTileOutputs = 8;

// One tile of Rows x kTileOutputs sums from `columns`, the weight transposed to [in, out], so that
// for each k the tile's weights lie side by side and the tile's sums advance together. Each sum is
// its own chain over k from 0.0 in increasing order: the tile only interleaves independent sums, so
// every output has the bits of the one-at-a-time loop. The sums are stored unchecked, as the check
// may throw and an exception cannot pass through the cloned function.
template <std::uint64_t Rows>
VESTRA_VECTOR_LOOPS void linearTile(const double* input, const double* columns, double* output, std::uint64_t in,
                                    std::uint64_t out) {
    double sums[Rows][kTileOutputs] = {};
    for (std::uint64_t k = 0; k < in; ++k) {
        const double* w = columns + k * out;
        for (std::uint64_t r = 0; r < Rows; ++r) {
            const double x = input[r * in + k];
            for (std::uint64_t o = 0; o < kTileOutputs; ++o) {
                sums[r][o] += x * w[o];
            }
        }
    }
    for (std::uint64_t r = 0; r < Rows; ++r) {
        for (std::uint64_t o = 0; o < kTileOutputs; ++o) {
            output[r * out + o] = sums[r][o];
        }
    }
}

// Rows rows: whole tiles of outputs, then the rest one at a time from the weight's own rows; unchecked.
template <std::uint64_t Rows>
void linearRows(const double* input, const double* weight, const double* columns, double* output, std::uint64_t in,
                std::uint64_t out) {
    std::uint64_t o = 0;
    for (; o + kTileOutputs <= out; o += kTileOutputs) {
        linearTile<Rows>(input, columns + o, output + o, in, out);
    }
    for (; o < out; ++o) {
        for (std::uint64_t r = 0; r < Rows; ++r) {
            double sum = 0.0;
            for (std::uint64_t k = 0; k < in; ++k) {
                sum += input[r * in + k] * weight[o * in + k];
            }
            output[r * out + o] = sum;
        }
    }
}

}  // namespace

Tensor linearProduct(const Tensor& input, const Tensor& weight, std::uint64_t rows, std::uint64_t in, std::uint64_t out,
                     bool doublePrecision, LinearValueCheck check) {
    requireShape(input, {rows, in}, "linear input");
    requireShape(weight, {out, in}, "linear weight");
    Tensor output(Extents{rows, out}, 0.0, doublePrecision);
    // The weight transposed, so that a tile reads its outputs' weights for one k side by side.
    std::vector<double> columns(in * out);
    for (std::uint64_t o = 0; o < out; ++o) {
        for (std::uint64_t k = 0; k < in; ++k) {
            columns[k * out + o] = weight.values[o * in + k];
        }
    }
    std::uint64_t r = 0;
    for (; r + kTileRows <= rows; r += kTileRows) {
        linearRows<kTileRows>(input.values.data() + r * in, weight.values.data(), columns.data(),
                              output.values.data() + r * out, in, out);
    }
    for (; r < rows; ++r) {
        linearRows<1>(input.values.data() + r * in, weight.values.data(), columns.data(),
                      output.values.data() + r * out, in, out);
    }
    for (double& value : output.values) {
        value = check(value, doublePrecision);
    }
    return output;
}

Tensor linear(const Tensor& input, const Tensor& weight, std::uint64_t rows, std::uint64_t in, std::uint64_t out,
              bool doublePrecision) {
    return linearProduct(input, weight, rows, in, out, doublePrecision, checkOperatorValue);
}

}  // namespace Halcyne::Core::Vestra
