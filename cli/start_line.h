// The line a new run opens with, so that its log says what is trained and how much: the model's
// parameters, the tokens of one optimizer step and of the whole run (with the passes over the
// training text that makes), the trainer, where the run lives and the seed of its weights.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "cli/run_settings.h"

namespace Halcyne::Core::Vestra::Cli {

[[nodiscard]] std::string startLine(const RunSettings& settings, std::uint64_t trainingTokens,
                                    const std::filesystem::path& directory);

}  // namespace Halcyne::Core::Vestra::Cli
