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
using Testing::tensorsEqual;

Tensor scalar(double value) {
    return Tensor(Extents{1, 1}, value);
}

TEST(FeedForward, SwiGluIsSiluOfGateTimesUpThenDown) {
    const double x = 0.8, gate = 1.5, up = -0.7, down = 0.9;
    const Tensor output =
        feedForward(scalar(x), scalar(gate), scalar(up), scalar(down), 1, 1, 1, FeedForwardKind::SwiGlu, true);
    const double g = x * gate;
    EXPECT_EQ(output.values[0], ((g / (std::exp(-g) + 1.0)) * (x * up)) * down);
}

TEST(FeedForward, GeluIsTheExactErfFormAndIgnoresTheGate) {
    const double x = 0.8, up = -0.7, down = 0.9;
    const Tensor output =
        feedForward(scalar(x), scalar(1.0), scalar(up), scalar(down), 1, 1, 1, FeedForwardKind::Gelu, true);
    const double u = x * up;
    EXPECT_EQ(output.values[0], ((std::erf(u * 0.7071067811865476) + 1.0) * (u * 0.5)) * down);

    const Tensor input = sineTensor({3, 4}, 0.2);
    const Tensor upWeight = sineTensor({5, 4}, 1.2);
    const Tensor downWeight = sineTensor({4, 5}, 2.2);
    const Tensor a =
        feedForward(input, sineTensor({5, 4}, 3.0), upWeight, downWeight, 3, 4, 5, FeedForwardKind::Gelu, true);
    const Tensor b =
        feedForward(input, Tensor(Extents{5, 4}, 123.0), upWeight, downWeight, 3, 4, 5, FeedForwardKind::Gelu, true);
    EXPECT_TRUE(tensorsEqual(a, b));
}

TEST(FeedForward, RefusesUnknownKindAfterTheUpProjection) {
    const Tensor one = scalar(1.0);
    const auto unknown = static_cast<FeedForwardKind>(2);
    expectThrowWithMessage<std::invalid_argument>(
        [&] { (void)feedForward(one, one, one, one, 1, 1, 1, unknown, true); }, "unknown feed-forward operator");
    expectThrowWithMessage<std::invalid_argument>(
        [&] {
            (void)feedForward(one, one, Tensor(Extents{2, 1}), one, 1, 1, 1, unknown, true);
        },
        "linear weight has an invalid shape");
}

TEST(FeedForward, ReportsNonFiniteActivations) {
    // up = 1e200 * 1e200 overflows inside the up projection already.
    const Tensor large = scalar(1e200);
    expectThrowWithMessage<std::domain_error>(
        [&] { (void)feedForward(large, scalar(1.0), large, scalar(1.0), 1, 1, 1, FeedForwardKind::Gelu, true); },
        "transformer operator produced NaN/Inf");
    // SiLU(1e200) * 1e200 overflows in the activation itself.
    expectThrowWithMessage<std::domain_error>(
        [&] {
            (void)feedForward(scalar(1e100), scalar(1e100), scalar(1e100), scalar(1.0), 1, 1, 1,
                              FeedForwardKind::SwiGlu, true);
        },
        "transformer operator produced NaN/Inf");
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
