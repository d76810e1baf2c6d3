// Bit-level bfloat16 conversions of the CPU device, kept apart from the `__nv_bfloat16` type so that
// a test can set them beside the CUDA toolkit's own conversions in one translation unit.
// Both are inline, so that the kernels and GEMM packing loops that convert every element of a tensor
// run them in place.
#pragma once

#include <bit>
#include <cstdint>

namespace Halcyne::Core::Vestra::CpuDevice {

// Rounds to the nearest bfloat16, ties to even, straight from the double: no intermediate rounding
// to float. Overflow gives infinity, every NaN gives 0x7FFF. Each case is formed without a branch
// and the right one selected, so that a loop over a tensor vectorizes.
[[nodiscard]] inline std::uint16_t doubleToBfloat16Bits(double value) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    const std::uint64_t sign = bits >> 48 & 0x8000;
    const std::uint64_t magnitude = bits & 0x7FFF'FFFF'FFFF'FFFF;
    // A magnitude whose bfloat16 is a normal number rounds on its bits: the 45 low fraction bits go,
    // to nearest with ties to even (a bfloat16 keeps the seven above them), a carry out of the
    // fraction moving into the exponent; then the exponent is rebiased from double to float.
    const std::uint64_t rounded = magnitude + 0x0FFF'FFFF'FFFF + (magnitude >> 45 & 1);
    const std::uint64_t roundedExponent = rounded >> 52;
    const std::uint64_t normal = (roundedExponent - (1023 - 127)) << 7 | (rounded >> 45 & 0x7F);
    // Below 2^-126 bfloat16 counts steps of 2^-133 (128 steps being the smallest normal number):
    // scaling by 2^133 is exact, and adding 2^52 rounds to whole steps, ties to even, leaving their
    // count in the low bits.
    const double scaled = std::bit_cast<double>(magnitude) * 0x1p133 + 0x1p52;
    const std::uint64_t small = std::bit_cast<std::uint64_t>(scaled) - std::bit_cast<std::uint64_t>(0x1p52);
    std::uint64_t result = roundedExponent > 1023 + 127 ? 0x7F80 : normal;
    result = magnitude >> 52 < 1023 - 126 ? small : result;
    result = magnitude > 0x7FF0'0000'0000'0000 ? 0x7FFF : result | sign;
    return static_cast<std::uint16_t>(result);
}

// Exact: every bfloat16 is a float.
[[nodiscard]] inline float bfloat16BitsToFloat(std::uint16_t bits) noexcept {
    return std::bit_cast<float>(static_cast<std::uint32_t>(bits) << 16);
}

}  // namespace Halcyne::Core::Vestra::CpuDevice
