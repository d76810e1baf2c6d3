#include "reference/linear.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;

TEST(Linear, WeightIsOutByInAndSumsRunInIncreasingIndex) {
    Tensor input(Extents{2, 3});
    input.values = {1.0, 2.0, 3.0, 1.0, 1e16, -1e16};
    Tensor weight(Extents{2, 3});
    weight.values = {1.0, 0.0, -1.0, 1.0, 1.0, 1.0};
    // (0 + 1) + 1e16 loses the 1, so the last row sums to 0; any other order would give 1.
    EXPECT_EQ(linear(input, weight, 2, 3, 2, true).values, (std::vector<double>{-2.0, 6.0, 1e16, 0.0}));

    expectThrowWithMessage<std::invalid_argument>([&] { (void)linear(input, weight, 3, 2, 2, true); },
                                                  "linear input has an invalid shape");
    expectThrowWithMessage<std::invalid_argument>([&] { (void)linear(input, weight, 2, 3, 3, true); },
                                                  "linear weight has an invalid shape");
    const Tensor large(Extents{1, 2}, 1e200);
    expectThrowWithMessage<std::domain_error>([&] { (void)linear(large, large, 1, 2, 1, true); },
                                              "transformer operator produced NaN/Inf");
}

// Past whole tiles of rows and outputs, with the tiles' remainders: every output is the plain sum in
// increasing k, to the bit, whichever processor's clone of the tile runs (a fused multiply-add, a
// reordered sum or a misplaced weight shows).
TEST(Linear, TilesGiveThePlainSumsBitForBit) {
    const std::uint64_t rows = 9;
    const std::uint64_t in = 37;
    const std::uint64_t out = 19;
    Tensor input(Extents{rows, in});
    Tensor weight(Extents{out, in});
    for (std::size_t i = 0; i < input.values.size(); ++i) {
        input.values[i] = std::sin(0.7 * static_cast<double>(i) + 0.3);
    }
    for (std::size_t i = 0; i < weight.values.size(); ++i) {
        weight.values[i] = std::cos(1.3 * static_cast<double>(i));
    }
    const Tensor result = linear(input, weight, rows, in, out, true);
    for (std::uint64_t r = 0; r < rows; ++r) {
        for (std::uint64_t o = 0; o < out; ++o) {
            double sum = 0.0;
            for (std::uint64_t k = 0; k < in; ++k) {
                sum += input.values[r * in + k] * weight.values[o * in + k];
            }
            ASSERT_EQ(result.values[r * out + o], sum) << "row " << r << ", output " << o;
        }
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
