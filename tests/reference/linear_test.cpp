#include "reference/linear.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace Halcyne::Core::Vestra
