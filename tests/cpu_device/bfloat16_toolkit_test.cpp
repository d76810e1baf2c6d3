// The CPU device's double-to-bfloat16 rounding against the CUDA toolkit's own host conversion, bit
// for bit. Built only where the toolkit's headers are found; this file sees the toolkit's bfloat16
// type and never the CPU device's.
#include <cuda_bf16.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "cpu_device/bfloat16_rounding.h"

namespace Halcyne::Core::Vestra {
namespace {

TEST(CpuDeviceBfloat16Toolkit, AgreesBitForBitWithTheToolkit) {
    std::mt19937_64 random(2024);
    int mismatches = 0;
    for (int i = 0; i < 400'000; ++i) {
        // Random bit patterns cover every exponent, NaN and infinity; values at and near bfloat16
        // ties cover the rounding.
        double value = std::bit_cast<double>(random());
        if (i % 2 == 1) {
            const int exponent = static_cast<int>(random() % 272) - 140;
            value = std::ldexp(1.0 + (2 * static_cast<double>(random() % 128) + 1) / 256.0, exponent);
            const double nudge = std::ldexp(value, -static_cast<int>(random() % 60) - 9);
            value += i % 3 == 0 ? 0.0 : (i % 3 == 1 ? nudge : -nudge);
        }
        const std::uint16_t expected = static_cast<__nv_bfloat16_raw>(__double2bfloat16(value)).x;
        const std::uint16_t got = CpuDevice::doubleToBfloat16Bits(value);
        if (got != expected && ++mismatches <= 10) {
            ADD_FAILURE() << std::hexfloat << value << ": toolkit " << std::hex << expected << ", CPU device " << got;
        }
    }
    EXPECT_EQ(mismatches, 0);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
