// The CPU device's math for kernels: `exp` within 1 ulp of the exact value over the whole range, with
// the edge values of a libm exp, and the four-lane dot product in the order of its scalar twin.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "cpu_device/device_math.h"

namespace Halcyne::Core::Vestra {
namespace {

// |got - exact| in units of the last place of the double nearest the exact value.
double ulpsFromExact(double got, long double exact) {
    const double nearest = static_cast<double>(exact);
    const double ulp = std::nextafter(std::fabs(nearest), HUGE_VAL) - std::fabs(nearest);
    return static_cast<double>(std::fabs(static_cast<long double>(got) - exact) / ulp);
}

TEST(CpuDeviceMath, ExpIsWithinOneUlpWithALibmsEdgeValues) {
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> wide(-708.0, 709.7);
    std::uniform_real_distribution<double> narrow(-1.0, 1.0);
    double worst = 0.0;
    for (int i = 0; i < 200'000; ++i) {
        const double x = i % 2 == 0 ? wide(random) : narrow(random);
        worst = std::max(worst, ulpsFromExact(exp(x), std::exp(static_cast<long double>(x))));
    }
    EXPECT_LE(worst, 1.0);

    const double infinity = std::numeric_limits<double>::infinity();
    EXPECT_EQ(exp(0.0), 1.0);
    EXPECT_EQ(exp(-0.0), 1.0);
    EXPECT_EQ(exp(709.8), infinity);  // past the largest double
    EXPECT_EQ(exp(1e300), infinity);
    EXPECT_EQ(exp(infinity), infinity);
    EXPECT_EQ(exp(-infinity), 0.0);
    EXPECT_EQ(exp(-1e300), 0.0);
    EXPECT_EQ(exp(-745.2), 0.0);  // below half the smallest subnormal
    EXPECT_TRUE(std::isnan(exp(std::numeric_limits<double>::quiet_NaN())));
    // Subnormal results round once: they match the exact value to the subnormal step.
    for (const double x : {-708.5, -720.0, -740.0, -745.1}) {
        EXPECT_EQ(exp(x), static_cast<double>(std::exp(static_cast<long double>(x)))) << x;
    }
}

TEST(CpuDeviceMath, FourLaneDotProductKeepsTheScalarOrder) {
    std::mt19937_64 random(5);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    for (std::uint64_t n = 0; n <= 19; ++n) {
        std::vector<double> a(n);
        std::vector<double> b(n);
        for (std::uint64_t d = 0; d < n; ++d) {
            // Magnitudes far apart, so that another order of additions shows in the bits.
            a[d] = value(random) * std::ldexp(1.0, static_cast<int>(d % 5) * 12);
            b[d] = value(random);
        }
        double sum[4] = {0.0, 0.0, 0.0, 0.0};
        for (std::uint64_t d = 0; d < n; ++d) {
            sum[d % 4] += a[d] * b[d];
        }
        EXPECT_EQ(CpuDevice::fourLaneDotProduct(a.data(), b.data(), n), (sum[0] + sum[1]) + (sum[2] + sum[3]))
            << n << " elements";
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
