#include "cpu_device/bfloat16_rounding.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace Halcyne::Core::Vestra::CpuDevice {

// The general rounding, for every value: subnormal results, zeros, infinities and NaN included.
std::uint16_t doubleToBfloat16BitsOutsideNormal(double value) noexcept {
    if (std::isnan(value)) {
        return 0x7FFF;
    }
    const std::uint16_t sign = std::signbit(value) ? 0x8000 : 0x0000;
    const double magnitude = std::fabs(value);
    if (magnitude == 0.0 || std::isinf(magnitude)) {
        return static_cast<std::uint16_t>(sign | (magnitude == 0.0 ? 0x0000 : 0x7F80));
    }
    // The spacing of bfloat16 values around the magnitude: eight significant bits for normal
    // numbers, the fixed subnormal step 2^-133 below 2^-126. Dividing by a power of two is exact,
    // so the one rounding happens on the scaled value, to nearest with ties to even.
    const int exponent = std::max(std::ilogb(magnitude), -126);
    const double step = std::ldexp(1.0, exponent - 7);
    const double scaled = magnitude / step;
    double units = std::floor(scaled);
    const double fraction = scaled - units;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(units, 2.0) != 0.0)) {
        units += 1.0;
    }
    const double result = units * step;
    if (result >= 0x1p128) {
        return static_cast<std::uint16_t>(sign | 0x7F80);
    }
    // A bfloat16 value converts to float exactly; its upper half is the result.
    const auto rounded = static_cast<float>(result);
    return static_cast<std::uint16_t>(sign | (std::bit_cast<std::uint32_t>(rounded) >> 16));
}

}  // namespace Halcyne::Core::Vestra::CpuDevice
