#include "reference/rms_norm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;

TEST(RmsNorm, NormalisesEachRowThenScalesAndKeepsZeroRowsZero) {
    Tensor input(Extents{3, 2});
    input.values = {3.0, 4.0, 0.0, 0.0, -1.0, 1.0};
    Tensor weight(Extents{2});
    weight.values = {2.0, 0.5};
    const Tensor output = rmsNorm(input, weight, 3, 2, 1e-5, true);
    const double inverse0 = 1.0 / std::sqrt(25.0 / 2.0 + 1e-5), inverse2 = 1.0 / std::sqrt(1.0 + 1e-5);
    EXPECT_EQ(output.values, (std::vector<double>{2.0 * (3.0 * inverse0), 0.5 * (4.0 * inverse0), 0.0, 0.0,
                                                  -2.0 * inverse2, 0.5 * inverse2}));

    const Tensor single = rmsNorm(input, weight, 3, 2, 1e-5, false);
    for (const double value : single.values) {
        EXPECT_EQ(value, static_cast<double>(static_cast<float>(value)));
    }
}

TEST(RmsNorm, RefusesEpsilonBeforeShapesThenShapesAndNonFiniteOutputs) {
    const Tensor input(Extents{2, 3});
    const Tensor wrong(Extents{4});
    for (const double epsilon :
         {0.0, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        expectThrowWithMessage<std::invalid_argument>([&] { (void)rmsNorm(input, wrong, 5, 5, epsilon, true); },
                                                      "RMSNorm epsilon must be finite and positive");
    }
    expectThrowWithMessage<std::invalid_argument>([&] { (void)rmsNorm(input, Tensor(Extents{3}), 3, 2, 1e-5, true); },
                                                  "RMSNorm input has an invalid shape");
    expectThrowWithMessage<std::invalid_argument>([&] { (void)rmsNorm(input, wrong, 2, 3, 1e-5, true); },
                                                  "RMSNorm weight has an invalid shape");
    Tensor weight(Extents{3}, 1.0);
    weight.values[1] = std::numeric_limits<double>::quiet_NaN();
    expectThrowWithMessage<std::domain_error>(
        [&] {
            (void)rmsNorm(Tensor(Extents{2, 3}, 1.0), weight, 2, 3, 1e-5, true);
        },
        "transformer operator produced NaN/Inf");
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
