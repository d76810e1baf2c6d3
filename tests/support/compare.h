// The one tensor comparison of the suites: reports the worst element (index, expected, got). A NaN
// on either side fails, whatever the tolerance.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>

#include "core/tensor.h"

namespace Halcyne::Core::Vestra::Testing {

// Passes when the shapes are equal and every |got - expected| <= tolerance.
inline ::testing::AssertionResult tensorsNear(const Tensor& got, const Tensor& expected, double tolerance) {
    if (got.shape != expected.shape) {
        return ::testing::AssertionFailure() << "shapes differ";
    }
    std::size_t worst = 0;
    double worstDifference = -1.0;
    for (std::size_t i = 0; i < got.values.size(); ++i) {
        const double difference = std::abs(got.values[i] - expected.values[i]);
        if (std::isnan(difference)) {
            return ::testing::AssertionFailure()
                   << "NaN at index " << i << ": expected " << expected.values[i] << ", got " << got.values[i];
        }
        if (difference > worstDifference) {
            worstDifference = difference;
            worst = i;
        }
    }
    if (worstDifference > tolerance) {
        return ::testing::AssertionFailure()
               << "worst element " << worst << ": expected " << expected.values[worst] << ", got " << got.values[worst]
               << " (difference " << worstDifference << ", tolerance " << tolerance << ")";
    }
    return ::testing::AssertionSuccess();
}

// Bit-for-bit equality of shapes and values (NaN never equals).
inline ::testing::AssertionResult tensorsEqual(const Tensor& got, const Tensor& expected) {
    return tensorsNear(got, expected, 0.0);
}

}  // namespace Halcyne::Core::Vestra::Testing
