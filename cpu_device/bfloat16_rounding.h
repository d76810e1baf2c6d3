// Bit-level bfloat16 conversions of the CPU device, kept apart from the `__nv_bfloat16` type so that
// a test can set them beside the CUDA toolkit's own conversions in one translation unit.
// Both are inline, so that the kernels and GEMM packing loops that convert every element of a tensor
// run them in place; the rare values that round outside the normal range take a call.
#pragma once

#include <bit>
#include <cstdint>

namespace Halcyne::Core::Vestra::CpuDevice {

// The rounding of values whose bfloat16 is subnormal, zero, infinite or NaN, and of those that
// overflow.
[[nodiscard]] std::uint16_t doubleToBfloat16BitsOutsideNormal(double value) noexcept;

// Rounds to the nearest bfloat16, ties to even, straight from the double: no intermediate rounding
// to float. Overflow gives infinity, every NaN gives 0x7FFF.
[[nodiscard]] inline std::uint16_t doubleToBfloat16Bits(double value) noexcept {
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
    return doubleToBfloat16BitsOutsideNormal(value);
}

// Exact: every bfloat16 is a float.
[[nodiscard]] inline float bfloat16BitsToFloat(std::uint16_t bits) noexcept {
    return std::bit_cast<float>(static_cast<std::uint32_t>(bits) << 16);
}

}  // namespace Halcyne::Core::Vestra::CpuDevice
