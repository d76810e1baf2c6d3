#include "reference/linear.h"

#include "reference/operator_value.h"

namespace Halcyne::Core::Vestra {
namespace {

// One tile of Rows x Outputs sums, each its own chain over k from 0.0 in increasing order: the
// tile only interleaves independent sums, so every output has the bits of the one-at-a-time loop.
template <std::uint64_t Rows, std::uint64_t Outputs>
void linearTile(const double* input, const double* weight, double* output, std::uint64_t in, std::uint64_t out,
                bool doublePrecision, LinearValueCheck check) {
    const double* rows[Rows];
    const double* weights[Outputs];
    for (std::uint64_t r = 0; r < Rows; ++r) {
        rows[r] = input + r * in;
    }
    for (std::uint64_t o = 0; o < Outputs; ++o) {
        weights[o] = weight + o * in;
    }
    double sums[Rows][Outputs] = {};
    for (std::uint64_t k = 0; k < in; ++k) {
        for (std::uint64_t r = 0; r < Rows; ++r) {
            const double x = rows[r][k];
            for (std::uint64_t o = 0; o < Outputs; ++o) {
                sums[r][o] += x * weights[o][k];
            }
        }
    }
    for (std::uint64_t r = 0; r < Rows; ++r) {
        for (std::uint64_t o = 0; o < Outputs; ++o) {
            output[r * out + o] = check(sums[r][o], doublePrecision);
        }
    }
}

// Rows tiles of Rows rows: four outputs at a time, then one at a time.
template <std::uint64_t Rows>
void linearRows(const double* input, const double* weight, double* output, std::uint64_t in, std::uint64_t out,
                bool doublePrecision, LinearValueCheck check) {
    constexpr std::uint64_t kOutputs = 4;
    std::uint64_t o = 0;
    for (; o + kOutputs <= out; o += kOutputs) {
        linearTile<Rows, kOutputs>(input, weight + o * in, output + o, in, out, doublePrecision, check);
    }
    for (; o < out; ++o) {
        linearTile<Rows, 1>(input, weight + o * in, output + o, in, out, doublePrecision, check);
    }
}

}  // namespace

Tensor linearProduct(const Tensor& input, const Tensor& weight, std::uint64_t rows, std::uint64_t in, std::uint64_t out,
                     bool doublePrecision, LinearValueCheck check) {
    requireShape(input, {rows, in}, "linear input");
    requireShape(weight, {out, in}, "linear weight");
    Tensor output(Extents{rows, out}, 0.0, doublePrecision);
    constexpr std::uint64_t kRows = 2;
    std::uint64_t r = 0;
    for (; r + kRows <= rows; r += kRows) {
        linearRows<kRows>(input.values.data() + r * in, weight.values.data(), output.values.data() + r * out, in, out,
                          doublePrecision, check);
    }
    for (; r < rows; ++r) {
        linearRows<1>(input.values.data() + r * in, weight.values.data(), output.values.data() + r * out, in, out,
                      doublePrecision, check);
    }
    return output;
}

Tensor linear(const Tensor& input, const Tensor& weight, std::uint64_t rows, std::uint64_t in, std::uint64_t out,
              bool doublePrecision) {
    return linearProduct(input, weight, rows, in, out, doublePrecision, checkOperatorValue);
}

}  // namespace Halcyne::Core::Vestra
