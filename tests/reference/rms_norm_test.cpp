#include "reference/rms_norm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;

TEST(RmsNorm, NormalisesEachRowOverAllColumnsThenScales) {
    Tensor input(Extents{3, 2});
    input.values = {3.0, 4.0, 0.0, 0.0, -1.0, 1.0};
    Tensor weight(Extents{2});
    weight.values = {2.0, 0.5};
    const double epsilon = 1e-5;
    const Tensor output = rmsNorm(input, weight, 3, 2, epsilon, true);

    const double inverse0 = 1.0 / std::sqrt(25.0 / 2.0 + epsilon);
    EXPECT_EQ(output.at({0, 0}), 2.0 * (3.0 * inverse0));
    EXPECT_EQ(output.at({0, 1}), 0.5 * (4.0 * inverse0));
    // A row of zeros stays zero: epsilon keeps the root away from zero.
    EXPECT_EQ(output.at({1, 0}), 0.0);
    EXPECT_EQ(output.at({1, 1}), 0.0);
    const double inverse2 = 1.0 / std::sqrt(1.0 + epsilon);
    EXPECT_EQ(output.at({2, 1}), 0.5 * inverse2);
    EXPECT_TRUE(output.doublePrecision);
}

TEST(RmsNorm, SinglePrecisionRoundsOutputs) {
    Tensor input(Extents{1, 3});
    input.values = {0.1, 0.2, 0.3};
    const Tensor output = rmsNorm(input, Tensor(Extents{3}, 1.0), 1, 3, 1e-5, false);
    EXPECT_FALSE(output.doublePrecision);
    for (const double value : output.values) {
        EXPECT_EQ(value, static_cast<double>(static_cast<float>(value)));
    }
}

TEST(RmsNorm, RefusesEpsilonBeforeShapesThenChecksShapes) {
    const Tensor input(Extents{2, 3});
    const Tensor weight(Extents{3});
    const Tensor wrong(Extents{4});
    for (const double epsilon :
         {0.0, -1e-5, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        expectThrowWithMessage<std::invalid_argument>([&] { (void)rmsNorm(input, wrong, 5, 5, epsilon, true); },
                                                      "RMSNorm epsilon must be finite and positive");
    }
    expectThrowWithMessage<std::invalid_argument>([&] { (void)rmsNorm(input, weight, 3, 2, 1e-5, true); },
                                                  "RMSNorm input has an invalid shape");
    expectThrowWithMessage<std::invalid_argument>([&] { (void)rmsNorm(input, wrong, 2, 3, 1e-5, true); },
                                                  "RMSNorm weight has an invalid shape");
}

TEST(RmsNorm, ReportsNonFiniteOutputs) {
    Tensor input(Extents{1, 2}, 1.0);
    Tensor weight(Extents{2}, 1.0);
    weight.values[1] = std::numeric_limits<double>::quiet_NaN();
    expectThrowWithMessage<std::domain_error>([&] { (void)rmsNorm(input, weight, 1, 2, 1e-5, true); },
                                              "transformer operator produced NaN/Inf");
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
