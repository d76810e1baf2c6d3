#include "core/identity_text.h"

#include <array>
#include <charconv>
#include <system_error>

namespace Halcyne::Core::Vestra {

std::string identityDouble(double value) {
    // 17 digits, a sign, a point, "e-308": 32 bytes always suffice.
    std::array<char, 32> buffer{};
    const auto [end, error] =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::general, 17);
    (void)error;  // cannot fail with this buffer size
    return std::string(buffer.data(), end);
}

std::string identityDecimal(std::uint64_t value) {
    std::array<char, 20> buffer{};
    const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    (void)error;  // 20 digits hold every u64
    return std::string(buffer.data(), end);
}

void appendIdentityEntry(std::string& identity, std::string_view key, std::string_view value) {
    identity += identityDecimal(key.size());
    identity += ':';
    identity += key;
    identity += '=';
    identity += identityDecimal(value.size());
    identity += ':';
    identity += value;
    identity += ';';
}

}  // namespace Halcyne::Core::Vestra
