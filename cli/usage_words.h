// The command-line library's refusals in this command's own words: what is wrong with which
// option, in lower case, as every other message of vestra reads.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace Halcyne::Core::Vestra::Cli {

[[nodiscard]] std::string usageMessage(const CLI::ParseError& error);

}  // namespace Halcyne::Core::Vestra::Cli
