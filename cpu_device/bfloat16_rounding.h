// Bit-level bfloat16 conversions of the CPU device, kept apart from the `__nv_bfloat16` type so that
// a test can set them beside the CUDA toolkit's own conversions in one translation unit.
#pragma once

#include <cstdint>

namespace Halcyne::Core::Vestra::CpuDevice {

// Rounds to the nearest bfloat16, ties to even, straight from the double: no intermediate rounding
// to float. Overflow gives infinity, every NaN gives 0x7FFF.
[[nodiscard]] std::uint16_t doubleToBfloat16Bits(double value) noexcept;

// Exact: every bfloat16 is a float.
[[nodiscard]] float bfloat16BitsToFloat(std::uint16_t bits) noexcept;

}  // namespace Halcyne::Core::Vestra::CpuDevice
