// Locale-independent number text for identity strings. Identity strings are hashed into
// fingerprints, so the same value must give the same bytes in every process, whatever locale
// the host program has installed: numbers go through std::to_chars, never streams or printf.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace Halcyne::Core::Vestra {

// The %.17g form: 17 significant digits, trailing zeros dropped, exponent with a sign and at
// least two digits below 1e-4 or from 1e17 ("10000", "1.0000000000000001e-05", "1e-08").
[[nodiscard]] std::string identityDouble(double value);

[[nodiscard]] std::string identityDecimal(std::uint64_t value);

// Appends one length-prefixed entry: "<len(key)>:<key>=<len(value)>:<value>;" (byte lengths).
void appendIdentityEntry(std::string& identity, std::string_view key, std::string_view value);

}  // namespace Halcyne::Core::Vestra
