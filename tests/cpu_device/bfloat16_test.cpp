// Double to bfloat16 on the CPU device: round to nearest, ties to even, decided on the double itself.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "cpu_device/cuda_bf16.h"

namespace Halcyne::Core::Vestra {
namespace {

TEST(CpuDeviceBfloat16, RoundsToNearestEvenWithoutDoubleRounding) {
    struct Case {
        double value;
        std::uint16_t bits;
    };
    for (const Case& rounding : {
             Case{1.0 + 0x1p-8, 0x3F80},            // tie, stays even
             Case{1.0 + 3 * 0x1p-8, 0x3F82},        // tie, rounds up to even
             Case{1.0 + 0x1p-8 + 0x1p-40, 0x3F81},  // above the tie; through float it would be the tie
             Case{-0.0, 0x8000}, Case{std::numeric_limits<double>::quiet_NaN(), 0x7FFF},
             Case{0x1.FEp127, 0x7F7F},                      // the largest bfloat16
             Case{0x1.FFp127, 0x7F80},                      // the tie above it goes to infinity (even)
             Case{-1e300, 0xFF80}, Case{0x1p-133, 0x0001},  // the smallest subnormal
             Case{0x1p-134, 0x0000},                        // tie between 0 and it
             Case{-3 * 0x1p-134, 0x8002},                   // tie between 1 and 2 steps
         }) {
        EXPECT_EQ(__double2bfloat16(rounding.value).__x, rounding.bits) << std::hexfloat << rounding.value;
    }
    EXPECT_EQ(__bfloat162float(__nv_bfloat16{0x3F81}), 1.0078125f);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
