#include "cli/start_line.h"

#include <algorithm>
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

std::string resumeLine(const RunSettings& settings, std::uint64_t stepsTaken, const std::filesystem::path& directory,
                       bool endMoved) {
    const std::uint64_t left = settings.steps - std::min(settings.steps, stepsTaken);
    return "continuing " + displayPath(directory) + " after step " + std::to_string(stepsTaken) + " of " +
           std::to_string(settings.steps) + " on " + settings.device + ": " + std::to_string(left) + " steps, " +
           std::to_string(left * settings.tokensPerStep()) + " tokens to go" +
           (endMoved ? " (the end moved: the decay now reaches zero at step " + std::to_string(settings.steps) + ")"
                     : "");
}

}  // namespace Halcyne::Core::Vestra::Cli
