// The run directory's JSON files as untrusted input: a document is parsed with a bound on how
// deeply it nests, and every field is read with its kind and range checked before it is converted,
// so that no edit to a file can crash, wrap or truncate its way into a run.
#pragma once

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace Halcyne::Core::Vestra::Cli {

using Json = nlohmann::ordered_json;

// The files vestra writes nest three levels; anything far deeper is not one of them.
inline constexpr int maxJsonDepth = 32;

// Throws std::invalid_argument with the parser's message, or "nested deeper than 32 levels" as
// soon as the parser meets the 33rd level: nothing deeper is ever built.
[[nodiscard]] Json parseJsonDocument(std::string_view text);
// The same, with nullopt for any fault.
[[nodiscard]] std::optional<Json> tryParseJsonDocument(std::string_view text);

// Each throws std::invalid_argument "'<key>' must be ..." for a value of the wrong kind or range,
// and nlohmann's out_of_range for a missing key.
[[nodiscard]] std::uint64_t unsignedJsonField(const Json& object, const char* key, std::uint64_t max);
[[nodiscard]] double finiteJsonField(const Json& object, const char* key);
[[nodiscard]] bool boolJsonField(const Json& object, const char* key);
[[nodiscard]] std::string stringJsonField(const Json& object, const char* key);

template <class Unsigned>
[[nodiscard]] Unsigned unsignedJsonField(const Json& object, const char* key) {
    return static_cast<Unsigned>(unsignedJsonField(object, key, std::numeric_limits<Unsigned>::max()));
}

}  // namespace Halcyne::Core::Vestra::Cli
