#include "core/byte_reader.h"

#include <bit>
#include <stdexcept>

namespace Halcyne::Core::Vestra {
namespace {

std::uint64_t littleEndianValue(const std::uint8_t* bytes, std::size_t width = 8) noexcept {
    std::uint64_t value = 0;
    for (std::size_t i = width; i-- > 0;) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

}  // namespace

void ByteReader::require(std::size_t size, const char* message) const {
    if (size > remaining()) {
        throw std::invalid_argument(message);
    }
}

std::uint64_t ByteReader::little(std::size_t width) {
    require(width, truncated_);
    const std::uint64_t value = littleEndianValue(bytes_.data() + position_, width);
    position_ += width;
    return value;
}

std::uint8_t ByteReader::u8() {
    return static_cast<std::uint8_t>(little(1));
}

std::uint16_t ByteReader::u16() {
    return static_cast<std::uint16_t>(little(2));
}

std::uint32_t ByteReader::u32() {
    return static_cast<std::uint32_t>(little(4));
}

std::uint64_t ByteReader::u64() {
    return little(8);
}

double ByteReader::f64() {
    return std::bit_cast<double>(u64());
}

std::span<const std::uint8_t> ByteReader::raw(std::size_t size) {
    require(size, truncated_);
    const auto view = bytes_.subspan(position_, size);
    position_ += size;
    return view;
}

void ByteReader::f64s(std::span<double> out, const char* tooShort) {
    // Compared in elements: out.size() * 8 could wrap for a hostile count.
    if (out.size() > remaining() / 8) {
        throw std::invalid_argument(tooShort);
    }
    const std::uint8_t* at = bytes_.data() + position_;
    for (double& value : out) {
        value = std::bit_cast<double>(littleEndianValue(at));
        at += 8;
    }
    position_ += out.size() * 8;
}

}  // namespace Halcyne::Core::Vestra
