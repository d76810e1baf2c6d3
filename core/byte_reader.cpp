#include "core/byte_reader.h"

#include <bit>
#include <stdexcept>

namespace Halcyne::Core::Vestra {
namespace {

std::uint64_t littleEndianValue(const std::uint8_t* bytes) noexcept {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
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

std::uint64_t ByteReader::u64() {
    require(8, truncated_);
    const std::uint64_t value = littleEndianValue(bytes_.data() + position_);
    position_ += 8;
    return value;
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
