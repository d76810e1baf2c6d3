// Little-endian deserialisation from a byte span, the reading half of byte_writer.h. Every read is
// bounds-checked against the span; a read that would pass its end throws std::invalid_argument
// with the message the reader was made with, and leaves the cursor where it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace Halcyne::Core::Vestra {

class ByteReader {
  public:
    ByteReader(std::span<const std::uint8_t> bytes, const char* truncatedMessage) noexcept
        : bytes_(bytes), truncated_(truncatedMessage) {}

    [[nodiscard]] std::uint8_t u8();
    [[nodiscard]] std::uint16_t u16();
    [[nodiscard]] std::uint32_t u32();
    [[nodiscard]] std::uint64_t u64();
    [[nodiscard]] double f64();
    // The next size bytes as a view into the underlying span.
    [[nodiscard]] std::span<const std::uint8_t> raw(std::size_t size);
    // count doubles into out (out.size() of them); throws tooShort instead of the reader's own
    // message when they do not fit, so that a format can tell a short header from a short payload.
    void f64s(std::span<double> out, const char* tooShort);

    [[nodiscard]] std::size_t position() const noexcept { return position_; }
    [[nodiscard]] std::size_t remaining() const noexcept { return bytes_.size() - position_; }
    [[nodiscard]] bool atEnd() const noexcept { return position_ == bytes_.size(); }

  private:
    void require(std::size_t size, const char* message) const;
    [[nodiscard]] std::uint64_t little(std::size_t width);

    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
    const char* truncated_;
};

}  // namespace Halcyne::Core::Vestra
