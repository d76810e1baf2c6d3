#include "cli/usage_words.h"

#include <algorithm>
#include <sstream>
#include <string_view>
#include <vector>

namespace Halcyne::Core::Vestra::Cli {
namespace {

// The option a message starts with ("--steps: ..."), or an empty string.
std::string leadingOption(std::string_view message) {
    const auto colon = message.find(": ");
    return colon == std::string_view::npos ? std::string() : std::string(message.substr(0, colon));
}

std::string after(std::string_view message, std::string_view marker) {
    const auto at = message.find(marker);
    return at == std::string_view::npos ? std::string() : std::string(message.substr(at + marker.size()));
}

// The library lists unexpected arguments last first.
std::string unexpected(std::string_view message) {
    std::istringstream words(after(message, "expected: "));
    std::vector<std::string> arguments{std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
    std::reverse(arguments.begin(), arguments.end());
    std::string line = arguments.size() == 1 ? "unexpected argument:" : "unexpected arguments:";
    for (const std::string& argument : arguments) {
        line += " " + argument;
    }
    return line;
}

}  // namespace

std::string usageMessage(const CLI::ParseError& error) {
    const std::string_view message = error.what();
    const std::string option = leadingOption(message);
    if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
        return unexpected(message);
    }
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr) {
        if (message.find("At Most") != std::string_view::npos) {
            return option + ": given more than once";
        }
        return option + ": needs a value";
    }
    if (dynamic_cast<const CLI::ConversionError*>(&error) != nullptr) {
        const auto equals = message.rfind(" = ");
        const std::string name = after(message, "convert: ").substr(0, after(message, "convert: ").find(" = "));
        const std::string value = equals == std::string_view::npos ? "" : std::string(message.substr(equals + 3));
        return name + ": '" + value + "' is not a value it takes";
    }
    if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr) {
        if (message.find("subcommand") != std::string_view::npos) {
            return "a command is needed: train, sample, eval or inspect";
        }
        const auto is = message.find(" is required");
        return is == std::string_view::npos ? std::string(message) : "missing " + std::string(message.substr(0, is));
    }
    if (const std::string choices = after(message, " not in {"); !choices.empty() && !option.empty()) {
        std::string listed = choices.substr(0, choices.find('}'));
        std::replace(listed.begin(), listed.end(), ',', ' ');
        const std::string value = after(message, ": ").substr(0, after(message, ": ").find(" not in {"));
        return option + ": '" + value + "' is not one of: " + listed;
    }
    return std::string(message);
}

}  // namespace Halcyne::Core::Vestra::Cli
