#include "cli/command_suggestion.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace Halcyne::Core::Vestra::Cli {
namespace {

constexpr std::size_t closeEnough = 2;

// Edits from `a` to `b`, a swap of neighbours counting as one (optimal string alignment).
std::size_t editDistance(std::string_view a, std::string_view b) {
    const std::size_t columns = b.size() + 1;
    std::vector<std::size_t> d((a.size() + 1) * columns);
    const auto at = [&](std::size_t i, std::size_t j) -> std::size_t& { return d[i * columns + j]; };
    for (std::size_t i = 0; i <= a.size(); ++i) {
        at(i, 0) = i;
    }
    for (std::size_t j = 0; j <= b.size(); ++j) {
        at(0, j) = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t replace = at(i - 1, j - 1) + (a[i - 1] == b[j - 1] ? 0 : 1);
            at(i, j) = std::min({at(i - 1, j) + 1, at(i, j - 1) + 1, replace});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                at(i, j) = std::min(at(i, j), at(i - 2, j - 2) + 1);
            }
        }
    }
    return at(a.size(), b.size());
}

std::optional<std::string> closestCommand(std::string_view typed, std::span<const std::string> commands) {
    std::optional<std::string> best;
    std::size_t bestDistance = closeEnough + 1;
    for (const std::string& command : commands) {
        const std::size_t distance = editDistance(typed, command);
        if (distance < bestDistance) {
            best = command;
            bestDistance = distance;
        }
    }
    return best;
}

}  // namespace

std::string unknownCommandMessage(std::string_view typed, std::span<const std::string> commands) {
    std::string message = "unknown command '" + std::string(typed) + "'";
    if (const auto meant = closestCommand(typed, commands)) {
        return message + "; did you mean '" + *meant + "'?";
    }
    message += " (commands:";
    for (const std::string& command : commands) {
        message += (&command == &commands.front() ? " " : ", ") + command;
    }
    return message + ")";
}

}  // namespace Halcyne::Core::Vestra::Cli
