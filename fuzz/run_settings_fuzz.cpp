// The run-settings reader against arbitrary model.json and training.json contents (the input split
// at its first NUL byte). A refusal is one std::runtime_error naming a file; accepted settings keep
// the command line's rules, the model's checkpoint size is computed without overflow or
// allocation, and writing the settings and reading them back gives the same run.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "cli/run_settings.h"
#include "training/vtt_checkpoint.h"

namespace Cli = Halcyne::Core::Vestra::Cli;
namespace Vestra = Halcyne::Core::Vestra;

namespace {

bool sameRun(const Cli::RunSettings& a, const Cli::RunSettings& b) {
    return Vestra::transformerSpecIdentity(a.spec) == Vestra::transformerSpecIdentity(b.spec) &&
           Vestra::trainingConfigIdentity(a.config) == Vestra::trainingConfigIdentity(b.config) && a.text == b.text &&
           a.holdout == b.holdout && a.batch == b.batch && a.accumulation == b.accumulation && a.steps == b.steps &&
           a.evalEvery == b.evalEvery && a.checkpointEvery == b.checkpointEvery &&
           a.validationTokens == b.validationTokens && a.device == b.device &&
           a.scheduleChanges.size() == b.scheduleChanges.size() &&
           std::equal(a.scheduleChanges.begin(), a.scheduleChanges.end(), b.scheduleChanges.begin(),
                      [](const Cli::ScheduleChange& x, const Cli::ScheduleChange& y) {
                          return x.atStep == y.atStep && x.steps == y.steps && x.decaySteps == y.decaySteps;
                      });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\0');
    const Cli::RunSettingsText text{std::string(input.substr(0, split)), split == std::string_view::npos
                                                                             ? std::string()
                                                                             : std::string(input.substr(split + 1))};
    Cli::RunSettings settings;
    try {
        settings = Cli::parseRunSettings(text, "model.json", "training.json");
    } catch (const std::runtime_error& error) {
        const std::string_view what = error.what();
        if (!what.starts_with("model.json: ") && !what.starts_with("training.json: ")) {
            std::abort();  // a refusal that does not name its file
        }
        return 0;
    }
    try {
        Cli::validateRunSettings(settings);
    } catch (const std::invalid_argument&) {
        std::abort();  // the reader accepted what the command line refuses
    }
    (void)Vestra::vttCheckpointSize(settings.spec);
    if (!sameRun(Cli::parseRunSettings(Cli::runSettingsText(settings), "model.json", "training.json"), settings)) {
        std::abort();
    }
    return 0;
}
