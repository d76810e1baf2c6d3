#include "cpu_device/bfloat16_rounding.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace Halcyne::Core::Vestra::CpuDevice {

namespace {

// The general rounding, for every value: subnormal results, zeros, infinities and NaN included.
std::uint16_t roundScaled(double value) noexcept {
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

}  // namespace

std::uint16_t doubleToBfloat16Bits(double value) noexcept {
    // A magnitude whose bfloat16 is a normal number rounds on its bits: the 45 low fraction bits go,
    // to nearest with ties to even (a bfloat16 keeps the seven above them), a carry out of the
    // fraction moving into the exponent; then the exponent is rebiased from double to float.
    const auto bits = std::bit_cast<std::uint64_t>(value);
    const std::uint64_t exponent = bits >> 52 & 0x7FF;
    if (exponent >= 1023 - 126 && exponent <= 1023 + 127) {
        const std::uint64_t magnitude = bits & 0x7FFF'FFFF'FFFF'FFFF;
        const std::uint64_t rounded = magnitude + 0x0FFF'FFFF'FFFF + (magnitude >> 45 & 1);
        const std::uint64_t roundedExponent = rounded >> 52;
        const auto sign = static_cast<std::uint16_t>(bits >> 48 & 0x8000);
        if (roundedExponent > 1023 + 127) {
            return static_cast<std::uint16_t>(sign | 0x7F80);
        }
        return static_cast<std::uint16_t>(sign | (roundedExponent - (1023 - 127)) << 7 | (rounded >> 45 & 0x7F));
    }
    return roundScaled(value);
}

float bfloat16BitsToFloat(std::uint16_t bits) noexcept {
    return std::bit_cast<float>(static_cast<std::uint32_t>(bits) << 16);
}

}  // namespace Halcyne::Core::Vestra::CpuDevice
