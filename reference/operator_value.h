// The guard every value an operator produces passes through: NaN and infinity are refused with the
// operator-level message, and a caller that asks for single precision gets the value rounded
// through a 32-bit float. The forward pass has a twin with its own message (forward.h).
#pragma once

namespace Halcyne::Core::Vestra {

// Throws std::domain_error "transformer operator produced NaN/Inf" for NaN or infinity; otherwise
// returns the value, rounded to the nearest float and back when doublePrecision is false.
[[nodiscard]] double checkOperatorValue(double value, bool doublePrecision);

}  // namespace Halcyne::Core::Vestra
