// The CPU device's math library for kernels, as CUDA's is for device code: `exp` of a double, which
// the kernels of this namespace call unqualified and so find here before the host's libm, and the
// four-lane dot product of the CPU forms of the attention kernels.
//
// Like CUDA's, this `exp` is within 1 ulp of the exact value, not the host's correctly rounded one;
// unlike a libm call, it is plain arithmetic without branches or tables, so a kernel's loop over
// elements vectorizes through it, and every lane of a vector gives the bits of the scalar call (no
// operation is fused or reordered), whichever form of a kernel calls it. x = k ln2 + r with
// |r| <= ln2 / 2 (ln2 in two parts, so that k ln2's first part is exact), e^r by its Taylor series to
// r^13 (truncation below 2^-57 relative), and 2^k applied as two powers of two so that results in
// the subnormal range round once and those past the largest double become inf.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace Halcyne::Core::Vestra {

__attribute__((always_inline)) inline double exp(double x) {
    constexpr double kLog2e = 1.4426950408889634;
    constexpr double kLn2High = 6.93147180369123816490e-01;  // 32 significant bits: k * kLn2High is exact
    constexpr double kLn2Low = 1.90821492927058770002e-10;
    // Adding 1.5 * 2^52 rounds to an integer k and leaves it in the low bits of the sum.
    constexpr double kShifter = 6755399441055744.0;
    // Past these bounds the result is inf or 0 either way; within them k fits the two powers of two.
    x = x < -746.0 ? -746.0 : x;
    x = x > 710.0 ? 710.0 : x;  // NaN passes both and stays NaN
    const double shifted = x * kLog2e + kShifter;
    const double k = shifted - kShifter;
    const double r = (x - k * kLn2High) - k * kLn2Low;
    double q = 1.0 / 6227020800.0;  // 1 / 13!
    q = q * r + 1.0 / 479001600.0;
    q = q * r + 1.0 / 39916800.0;
    q = q * r + 1.0 / 3628800.0;
    q = q * r + 1.0 / 362880.0;
    q = q * r + 1.0 / 40320.0;
    q = q * r + 1.0 / 5040.0;
    q = q * r + 1.0 / 720.0;
    q = q * r + 1.0 / 120.0;
    q = q * r + 1.0 / 24.0;
    q = q * r + 1.0 / 6.0;
    q = q * r + 0.5;
    const double mantissa = 1.0 + (r + (r * r) * q);
    // k in [-1076, 1024] splits into k1 = floor((k + 2048) / 2) - 1024 and k2 = k - k1, both in
    // [-538, 512]; their biased exponents are formed in unsigned arithmetic, as vector lanes do.
    const std::uint64_t biasedK = std::bit_cast<std::uint64_t>(shifted) - std::bit_cast<std::uint64_t>(kShifter) + 2048;
    const std::uint64_t half = biasedK >> 1;
    const double first = std::bit_cast<double>((half - 1) << 52);             // 2^(half - 1024)
    const double second = std::bit_cast<double>((biasedK - half - 1) << 52);  // 2^(k - half + 1024)
    return mantissa * first * second;
}

namespace CpuDevice {

// sum_d a[d] * b[d] over n elements as four partial sums, the r-th over d = r, r + 4, ... in
// increasing d from 0.0, added as (s0 + s1) + (s2 + s3): the order of the attention kernels' dot
// product, with the four sums as the lanes of one vector, which GCC does not form from the scalar
// loop. The same bits as that loop.
__attribute__((always_inline)) inline double fourLaneDotProduct(const double* a, const double* b, std::uint64_t n) {
    using Lanes [[gnu::vector_size(4 * sizeof(double))]] = double;
    Lanes sum{};
    std::uint64_t d = 0;
    for (; d + 4 <= n; d += 4) {
        Lanes x;
        Lanes y;
        std::memcpy(&x, a + d, sizeof x);
        std::memcpy(&y, b + d, sizeof y);
        sum += x * y;
    }
    for (unsigned r = 0; d + r < n; ++r) {
        sum[r] += a[d + r] * b[d + r];
    }
    return (sum[0] + sum[1]) + (sum[2] + sum[3]);
}

}  // namespace CpuDevice
}  // namespace Halcyne::Core::Vestra
