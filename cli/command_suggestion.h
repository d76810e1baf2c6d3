// What `vestra` answers to a command it does not know: the known command the word most likely
// misspells (by edits: a byte inserted, removed, replaced, or two neighbours swapped), when one
// is close enough to be meant.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace Halcyne::Core::Vestra::Cli {

// "unknown command 'X'; did you mean 'Y'?" with the command closest to X within two edits (the
// first of equals), or the list of commands when none is that close.
[[nodiscard]] std::string unknownCommandMessage(std::string_view typed, std::span<const std::string> commands);

}  // namespace Halcyne::Core::Vestra::Cli
