// Little-endian serialisation into a byte vector, used by every binary image of the system
// (tokenizer descriptor, model artifact, checkpoint). Values are written byte by byte, so the
// image is the same on any host byte order.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace Halcyne::Core::Vestra {

using Bytes = std::vector<std::uint8_t>;

[[nodiscard]] constexpr std::array<std::uint8_t, 8> littleEndian64(std::uint64_t value) noexcept {
    std::array<std::uint8_t, 8> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    return bytes;
}

class ByteWriter {
  public:
    explicit ByteWriter(Bytes& out) : out_(out) {}

    void u8(std::uint8_t value) { out_.push_back(value); }
    void u16(std::uint16_t value) { little(value, 2); }
    void u32(std::uint32_t value) { little(value, 4); }
    void u64(std::uint64_t value) { little(value, 8); }
    void f64(double value) { little(std::bit_cast<std::uint64_t>(value), 8); }
    void raw(std::span<const std::uint8_t> bytes) { append(bytes.data(), bytes.size()); }
    void raw(std::string_view text) { append(text.data(), text.size()); }

    // A u32 byte length followed by the bytes; longer strings throw std::invalid_argument(tooLong).
    void string(std::string_view text, const char* tooLong) {
        if (text.size() > std::numeric_limits<std::uint32_t>::max()) {
            throw std::invalid_argument(tooLong);
        }
        u32(static_cast<std::uint32_t>(text.size()));
        raw(text);
    }

    // Doubles as IEEE-754 bit patterns, 8 little-endian bytes each, no padding.
    void f64s(std::span<const double> values) {
        out_.reserve(out_.size() + values.size() * 8);
        for (const double value : values) {
            f64(value);
        }
    }

    // Overwrites 8 bytes already written (a checksum field filled in last).
    void patchU64(std::size_t offset, std::uint64_t value) {
        if (offset > out_.size() || out_.size() - offset < 8) {
            throw std::out_of_range("patched field lies outside the image");
        }
        const auto bytes = littleEndian64(value);
        std::copy(bytes.begin(), bytes.end(), out_.begin() + static_cast<std::ptrdiff_t>(offset));
    }

    [[nodiscard]] std::size_t size() const noexcept { return out_.size(); }

  private:
    // resize + memcpy rather than a range insert: GCC 12 at -O3 reports a false stringop-overflow
    // for the insert of a small constant range into an empty vector.
    void append(const void* data, std::size_t size) {
        if (size == 0) {
            return;
        }
        const std::size_t at = out_.size();
        out_.resize(at + size);
        std::memcpy(out_.data() + at, data, size);
    }

    void little(std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            out_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        }
    }

    Bytes& out_;
};

}  // namespace Halcyne::Core::Vestra
