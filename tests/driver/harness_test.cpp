#include "driver/harness.h"

#include <gtest/gtest.h>

#include <limits>

#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;

TEST(Harness, MaxAbsDifferenceComparesShapesThenTakesTheStrictMaximum) {
    Tensor a(Extents{2, 3});
    Tensor b(Extents{2, 3});
    a.values = {1.0, -2.0, 3.0, 0.5, 0.0, 0.0};
    b.values = {1.5, 2.0, 3.0, 0.5, std::numeric_limits<double>::quiet_NaN(), 0.0};
    EXPECT_EQ(maxAbsDifference(a, b), 4.0);  // the NaN difference never raises the maximum
    EXPECT_EQ(maxAbsDifference(Tensor(), Tensor()), 0.0);
    // Same element count, different extents.
    expectThrowWithMessage<std::runtime_error>(
        [] {
            (void)maxAbsDifference(Tensor(Extents{2, 3}), Tensor(Extents{3, 2}));
        },
        "tensor shapes differ");
}

TEST(Harness, ElapsedMillisecondsTruncatesTowardZeroAndRequireThrows) {
    const std::chrono::steady_clock::time_point start{};
    EXPECT_EQ(elapsedMilliseconds(start, start + std::chrono::nanoseconds(2'999'999)), 2);
    EXPECT_EQ(elapsedMilliseconds(start + std::chrono::nanoseconds(1'999'999), start), -1);
    expectThrowWithMessage<std::runtime_error>([] { require(false, "CUDA AdamW differs from CPU"); },
                                               "CUDA AdamW differs from CPU");
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
