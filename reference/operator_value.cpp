#include "reference/operator_value.h"

#include <stdexcept>

namespace Halcyne::Core::Vestra {

void throwOperatorValueError() {
    throw std::domain_error("transformer operator produced NaN/Inf");
}

}  // namespace Halcyne::Core::Vestra
