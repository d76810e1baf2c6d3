// The one tensor comparison of the suites: reports the first element out of tolerance (index,
// expected, got). A NaN on either side fails, whatever the tolerance.
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
    for (std::size_t i = 0; i < got.values.size(); ++i) {
        if (!(std::abs(got.values[i] - expected.values[i]) <= tolerance)) {
            return ::testing::AssertionFailure() << "element " << i << ": expected " << expected.values[i] << ", got "
                                                 << got.values[i] << " (tolerance " << tolerance << ")";
        }
    }
    return ::testing::AssertionSuccess();
}

// Bit-for-bit equality of shapes and values (NaN never equals).
inline ::testing::AssertionResult tensorsEqual(const Tensor& got, const Tensor& expected) {
    return tensorsNear(got, expected, 0.0);
}

}  // namespace Halcyne::Core::Vestra::Testing
