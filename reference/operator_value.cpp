#include "reference/operator_value.h"

#include <cmath>
#include <stdexcept>

namespace Halcyne::Core::Vestra {

double checkOperatorValue(double value, bool doublePrecision) {
    if (!std::isfinite(value)) {
        throw std::domain_error("transformer operator produced NaN/Inf");
    }
    return doublePrecision ? value : static_cast<double>(static_cast<float>(value));
}

}  // namespace Halcyne::Core::Vestra
