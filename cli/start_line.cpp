#include "cli/start_line.h"

#include <cstdio>

#include "cli/file_io.h"

namespace Halcyne::Core::Vestra::Cli {

std::string startLine(const RunSettings& settings, std::uint64_t trainingTokens, const std::filesystem::path& directory,
                      const std::optional<std::filesystem::path>& init) {
    const std::uint64_t total = settings.tokensPerStep() * settings.steps;
    char passes[32];
    std::snprintf(passes, sizeof passes, "%.1f", static_cast<double>(total) / static_cast<double>(trainingTokens));
    const std::string start =
        init ? "weights of " + displayPath(*init) : "seed " + std::to_string(settings.config.seed);
    return "training " + std::to_string(transformerParameterCount(settings.spec).count) + " parameters on " +
           settings.device + ": " + std::to_string(settings.tokensPerStep()) + " tokens per step, " +
           std::to_string(total) + " in " + std::to_string(settings.steps) + " steps (" + passes + " passes over " +
           std::to_string(trainingTokens) + " training tokens), from " + start + "; run in " + displayPath(directory);
}

}  // namespace Halcyne::Core::Vestra::Cli
