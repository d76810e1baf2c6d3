#include "cli/run_schedule.h"

#include <stdexcept>
#include <string>

#include "cli/file_io.h"
#include "training/training_config.h"
#include "training/vtt_checkpoint.h"

namespace Halcyne::Core::Vestra::Cli {

std::uint64_t decayToEnd(std::uint64_t steps, std::uint64_t warmup) noexcept {
    return steps > warmup ? steps - warmup : 1;
}

void moveRunEnd(RunSettings& settings, std::uint64_t stepsTaken, std::uint64_t end) {
    if (end < stepsTaken) {
        throw std::invalid_argument("the run has taken " + std::to_string(stepsTaken) +
                                    " steps already; its end cannot move below that");
    }
    if (end == settings.steps) {
        return;
    }
    settings.scheduleChanges.push_back({stepsTaken, settings.steps, settings.config.decay_steps});
    settings.steps = end;
    settings.config.decay_steps = decayToEnd(end, settings.config.warmup_steps);
}

Bytes checkpointUnderPlan(const RunSettings& settings, const std::filesystem::path& file,
                          std::span<const std::uint8_t> image, const VttSummary& summary) {
    const std::uint64_t current = trainingConfigFingerprint(settings.config);
    if (summary.configFingerprint == current) {
        return Bytes(image.begin(), image.end());
    }
    TransformerTrainingConfig replaced = settings.config;
    for (const ScheduleChange& change : settings.scheduleChanges) {
        replaced.decay_steps = change.decaySteps;
        if (change.atStep == summary.counters.steps &&
            trainingConfigFingerprint(replaced) == summary.configFingerprint) {
            return rebasedVttImage(image, current);
        }
    }
    throw std::runtime_error(displayPath(file) +
                             " was written under another training configuration than training.json's");
}

}  // namespace Halcyne::Core::Vestra::Cli
