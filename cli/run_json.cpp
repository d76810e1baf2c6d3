#include "cli/run_json.h"

#include <cmath>

namespace Halcyne::Core::Vestra::Cli {
namespace {

// The parser itself keeps its nesting on the heap; the limit keeps the document it builds (and
// whatever later walks it) shallow. A callback sees each container open with the depth of its
// parent, before anything of it is built.
bool limitDepth(int depth, Json::parse_event_t event, Json&) {
    if ((event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start) &&
        depth >= maxJsonDepth) {
        throw std::invalid_argument("nested deeper than " + std::to_string(maxJsonDepth) + " levels");
    }
    return true;
}

const Json& field(const Json& object, const char* key) {
    if (!object.is_object()) {
        throw std::invalid_argument(std::string("'") + key + "' must be in an object, not in " + object.type_name());
    }
    return object.at(key);
}

}  // namespace

Json parseJsonDocument(std::string_view text) {
    try {
        return Json::parse(text.begin(), text.end(), limitDepth);
    } catch (const nlohmann::json::exception& error) {
        throw std::invalid_argument(error.what());
    }
}

std::optional<Json> tryParseJsonDocument(std::string_view text) {
    try {
        return parseJsonDocument(text);
    } catch (const std::invalid_argument&) {
        return std::nullopt;
    }
}

std::uint64_t unsignedJsonField(const Json& object, const char* key, std::uint64_t max) {
    // Read through the JSON kind, so that -1, 2.5 or 1e300 in a hand-edited file is refused instead
    // of being wrapped or truncated into range.
    const Json& value = field(object, key);
    if (!value.is_number_unsigned() || value.get<std::uint64_t>() > max) {
        throw std::invalid_argument(std::string("'") + key + "' must be an unsigned integer in range");
    }
    return value.get<std::uint64_t>();
}

double finiteJsonField(const Json& object, const char* key) {
    const Json& value = field(object, key);
    if (!value.is_number() || !std::isfinite(value.get<double>())) {
        throw std::invalid_argument(std::string("'") + key + "' must be a number");
    }
    return value.get<double>();
}

bool boolJsonField(const Json& object, const char* key) {
    const Json& value = field(object, key);
    if (!value.is_boolean()) {
        throw std::invalid_argument(std::string("'") + key + "' must be true or false");
    }
    return value.get<bool>();
}

std::string stringJsonField(const Json& object, const char* key) {
    const Json& value = field(object, key);
    if (!value.is_string()) {
        throw std::invalid_argument(std::string("'") + key + "' must be a string");
    }
    return value.get<std::string>();
}

}  // namespace Halcyne::Core::Vestra::Cli
