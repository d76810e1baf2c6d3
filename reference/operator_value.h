// The guard every value an operator produces passes through: NaN and infinity are refused with the
// operator-level message, and a caller that asks for single precision gets the value rounded
// through a 32-bit float. The forward pass has a twin with its own message (forward.h).
#pragma once

#include <cmath>

namespace Halcyne::Core::Vestra {

// Throws std::domain_error "transformer operator produced NaN/Inf".
[[noreturn]] void throwOperatorValueError();

// Throws std::domain_error "transformer operator produced NaN/Inf" for NaN or infinity; otherwise
// returns the value, rounded to the nearest float and back when doublePrecision is false. Inline:
// operators pass every element through it.
[[nodiscard]] inline double checkOperatorValue(double value, bool doublePrecision) {
    if (!std::isfinite(value)) [[unlikely]] {
        throwOperatorValueError();
    }
    return doublePrecision ? value : static_cast<double>(static_cast<float>(value));
}

}  // namespace Halcyne::Core::Vestra
