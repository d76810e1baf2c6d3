// The one tensor comparison of the suites: reports the worst element (index, expected, got), so a
// failure shows how far off the result is, not only where it first went wrong. A NaN on either side
// fails, whatever the tolerance, and is reported ahead of any finite difference.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "core/tensor.h"

namespace Halcyne::Core::Vestra::Testing {

// Passes when the shapes are equal and every |got - expected| <= tolerance.
inline ::testing::AssertionResult tensorsNear(const Tensor& got, const Tensor& expected, double tolerance) {
    if (got.shape != expected.shape) {
        return ::testing::AssertionFailure() << "shapes differ";
    }
    std::size_t worst = got.values.size();
    double worstDifference = tolerance;
    for (std::size_t i = 0; i < got.values.size(); ++i) {
        const double difference = std::abs(got.values[i] - expected.values[i]);
        if (std::isnan(difference)) {
            worst = i;
            break;
        }
        if (difference > worstDifference) {
            worst = i;
            worstDifference = difference;
        }
    }
    if (worst == got.values.size()) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "worst element " << worst << ": expected " << expected.values[worst]
                                         << ", got " << got.values[worst] << " (tolerance " << tolerance << ")";
}

// Agreement to `relative` of the expected tensor's largest magnitude (of 1 where that is smaller):
// for results whose summation order differs from the reference's.
inline ::testing::AssertionResult relativelyNear(const Tensor& got, const Tensor& expected, double relative) {
    double largest = 1.0;
    for (const double value : expected.values) {
        largest = std::max(largest, std::abs(value));
    }
    return tensorsNear(got, expected, relative * largest);
}

// Bit-for-bit equality of shapes and values (NaN never equals).
inline ::testing::AssertionResult tensorsEqual(const Tensor& got, const Tensor& expected) {
    return tensorsNear(got, expected, 0.0);
}

}  // namespace Halcyne::Core::Vestra::Testing
