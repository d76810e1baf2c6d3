// The CPU device's double-to-bfloat16 rounding against the CUDA toolkit's own host conversion, bit
// for bit, over edge values and random doubles. Built only where the toolkit's headers are found;
// this file sees the toolkit's bfloat16 type and never the CPU device's.
#include <cuda_bf16.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "cpu_device/bfloat16_rounding.h"

namespace Halcyne::Core::Vestra {
namespace {

std::uint16_t toolkitBits(double value) {
    const __nv_bfloat16_raw raw = __double2bfloat16(value);
    return raw.x;
}

TEST(CpuDeviceBfloat16Toolkit, AgreesBitForBitWithTheToolkit) {
    std::vector<double> values = {0.0,           -0.0,         1.0 + 0x1p-8, 1.0 + 0x1p-8 + 0x1p-40,
                                  0x1.FFp127,    0x1p-134,     5e-324,       1e300,
                                  -1e-300,       std::numeric_limits<double>::infinity(),
                                  std::numeric_limits<double>::quiet_NaN()};
    std::mt19937_64 random(2024);
    // Random bit patterns cover every exponent; values near bfloat16 ties cover the rounding.
    for (int i = 0; i < 200'000; ++i) {
        values.push_back(std::bit_cast<double>(random()));
    }
    std::uniform_int_distribution<int> exponent(-140, 130);
    for (int i = 0; i < 200'000; ++i) {
        const double tie = std::ldexp(1.0 + (2 * static_cast<double>(random() % 128) + 1) / 256.0, exponent(random));
        const double nudge = std::ldexp(tie, -static_cast<int>(random() % 60) - 9);
        values.push_back(i % 3 == 0 ? tie : (i % 3 == 1 ? tie + nudge : tie - nudge));
    }
    int mismatches = 0;
    for (const double value : values) {
        const std::uint16_t expected = toolkitBits(value);
        const std::uint16_t got = CpuDevice::doubleToBfloat16Bits(value);
        if (got != expected && ++mismatches <= 10) {
            ADD_FAILURE() << std::hexfloat << value << ": toolkit " << std::hex << expected << ", CPU device " << got;
        }
    }
    EXPECT_EQ(mismatches, 0);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
