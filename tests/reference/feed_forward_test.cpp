#include "reference/feed_forward.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "driver/fixtures.h"
#include "support/compare.h"
#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;

Tensor scalar(double value) {
    return Tensor(Extents{1, 1}, value);
}

Tensor feedForward1(double x, double gate, double up, double down, FeedForwardKind kind) {
    return feedForward(scalar(x), scalar(gate), scalar(up), scalar(down), 1, 1, 1, kind, true);
}

TEST(FeedForward, SwiGluAndExactGelu) {
    const double x = 0.8, gate = 1.5, up = -0.7, down = 0.9;
    const double g = x * gate, u = x * up;
    EXPECT_EQ(feedForward1(x, gate, up, down, FeedForwardKind::SwiGlu).values[0],
              ((g / (std::exp(-g) + 1.0)) * u) * down);
    EXPECT_EQ(feedForward1(x, gate, up, down, FeedForwardKind::Gelu).values[0],
              ((std::erf(u * 0.7071067811865476) + 1.0) * (u * 0.5)) * down);

    // GELU never reads the gate.
    const Tensor input = sineTensor({3, 4}, 0.2), upWeight = sineTensor({5, 4}, 1.2),
                 downWeight = sineTensor({4, 5}, 2.2);
    EXPECT_TRUE(Testing::tensorsEqual(
        feedForward(input, sineTensor({5, 4}, 3.0), upWeight, downWeight, 3, 4, 5, FeedForwardKind::Gelu, true),
        feedForward(input, Tensor(Extents{5, 4}, 123.0), upWeight, downWeight, 3, 4, 5, FeedForwardKind::Gelu, true)));
}

TEST(FeedForward, RefusesUnknownKindsAndNonFiniteActivations) {
    const auto unknown = static_cast<FeedForwardKind>(2);
    expectThrowWithMessage<std::invalid_argument>([&] { (void)feedForward1(1, 1, 1, 1, unknown); },
                                                  "unknown feed-forward operator");
    // The kind is looked at after the up projection.
    const Tensor one = scalar(1.0);
    expectThrowWithMessage<std::invalid_argument>(
        [&] {
            (void)feedForward(one, one, Tensor(Extents{2, 1}), one, 1, 1, 1, unknown, true);
        },
        "linear weight has an invalid shape");
    // Overflow inside the up projection, then in the SwiGLU activation itself.
    expectThrowWithMessage<std::domain_error>([] { (void)feedForward1(1e200, 1, 1e200, 1, FeedForwardKind::Gelu); },
                                              "transformer operator produced NaN/Inf");
    expectThrowWithMessage<std::domain_error>(
        [] { (void)feedForward1(1e100, 1e100, 1e100, 1, FeedForwardKind::SwiGlu); },
        "transformer operator produced NaN/Inf");
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
