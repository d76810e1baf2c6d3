// The line a new run opens with, so that its log says what is trained and how much: the model's
// parameters, the tokens of one optimizer step and of the whole run (with the passes over the
// training text that makes), the trainer, where the run lives and what its weights start from.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "cli/run_settings.h"

namespace Halcyne::Core::Vestra::Cli {

// `init` is the trained model the run starts from; without one, the weights are drawn from the seed.
[[nodiscard]] std::string startLine(const RunSettings& settings, std::uint64_t trainingTokens,
                                    const std::filesystem::path& directory,
                                    const std::optional<std::filesystem::path>& init);

// The line a resumed run opens with: where it goes on, how far, on which trainer, and whether this
// resume moved its end.
[[nodiscard]] std::string resumeLine(const RunSettings& settings, std::uint64_t stepsTaken,
                                     const std::filesystem::path& directory, bool endMoved);

}  // namespace Halcyne::Core::Vestra::Cli
