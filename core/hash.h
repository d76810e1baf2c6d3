// The one hash of the system: 64-bit FNV-1a with its own start value. It fingerprints
// specifications, configurations, tokenizers and weights, and checksums every byte image.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace Halcyne::Core::Vestra {

inline constexpr std::uint64_t vestraFnvStart = 0x14650fb0739d0383ULL;
inline constexpr std::uint64_t vestraFnvPrime = 0x100000001b3ULL;

// Continues a running hash over more bytes, so that an image can be hashed in pieces
// (for example with a checksum field taken as zero) without copying it.
[[nodiscard]] constexpr std::uint64_t vestraFnv1a64Extend(std::uint64_t hash,
                                                          std::span<const std::uint8_t> bytes) noexcept {
    for (const std::uint8_t byte : bytes) {
        hash = (hash ^ byte) * vestraFnvPrime;
    }
    return hash;
}

[[nodiscard]] constexpr std::uint64_t vestraFnv1a64(std::span<const std::uint8_t> bytes) noexcept {
    return vestraFnv1a64Extend(vestraFnvStart, bytes);
}

[[nodiscard]] constexpr std::uint64_t vestraFnv1a64(std::string_view text) noexcept {
    std::uint64_t hash = vestraFnvStart;
    for (const char c : text) {
        hash = (hash ^ static_cast<std::uint8_t>(c)) * vestraFnvPrime;
    }
    return hash;
}

}  // namespace Halcyne::Core::Vestra
