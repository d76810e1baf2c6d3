// What a run directory records about its run: the model specification (model.json) and the
// training configuration with the run's own settings (training.json). A resumed run is rebuilt from
// these two files and the checkpoint alone, so every value that shapes the training state is here.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/transformer_spec.h"
#include "training/training_config.h"

namespace Halcyne::Core::Vestra::Cli {

// A resume that moved the end of a run replans the decay to reach zero at the new end. Each change
// keeps the plan it replaced, so that a checkpoint saved under that plan at the step of the change
// is still recognised as this run's (a run stopped between the two files' updates).
struct ScheduleChange {
    std::uint64_t atStep = 0;      // steps taken when the end moved
    std::uint64_t steps = 0;       // the end planned before
    std::uint64_t decaySteps = 0;  // the decay planned before
};

struct RunSettings {
    TransformerSpec spec;
    TransformerTrainingConfig config;  // dataset_hash is the text's fingerprint (textFingerprint)
    std::filesystem::path text;        // the training text, absolute
    double holdout = 0.1;              // share of the text's tail held out for validation
    std::uint32_t batch = 16;          // windows per accumulated batch
    std::uint32_t accumulation = 1;    // batches per optimizer step
    std::uint64_t steps = 100;         // optimizer steps of the whole run
    std::uint64_t evalEvery = 25;      // steps between validation losses
    std::uint64_t checkpointEvery = 25;
    std::uint64_t validationTokens = 2048;        // of the held-out tail, at most
    std::string device;                           // the trainer a resumed run uses unless told otherwise
    std::vector<ScheduleChange> scheduleChanges;  // oldest first

    [[nodiscard]] std::uint64_t tokensPerStep() const noexcept {
        return std::uint64_t{batch} * accumulation * spec.context;
    }
};

// Windows of one optimizer step, at most: a step far beyond any text's worth of windows is a
// mistake, and the product stays far from overflowing a step's token count.
inline constexpr std::uint64_t maxWindowsPerStep = std::uint64_t{1} << 20;

// The rules of the command line, for a new run and for the files a resume reads alike: a run
// vestra could have started. Throws std::invalid_argument naming the first setting out of range:
// a model finding as "invalid model: <field> <message>", then the configuration and run settings.
void validateRunSettings(const RunSettings& settings);

// The two files' contents.
struct RunSettingsText {
    std::string model;
    std::string training;
};
[[nodiscard]] RunSettingsText runSettingsText(const RunSettings& settings);
// readRunSettings over contents already read; the paths name the files in messages.
[[nodiscard]] RunSettings parseRunSettings(const RunSettingsText& text, const std::filesystem::path& modelFile,
                                           const std::filesystem::path& trainingFile);

// model.json and training.json. A file that cannot be read, is not JSON (or nests deeper than a
// run's files do), lacks a field, holds a value of the wrong type or range, or breaks a rule of
// validateRunSettings throws std::runtime_error "<file>: <what is wrong>", naming the file the
// fault is in. training.json also keeps a fingerprint of the settings fixed when the run started
// that its checkpoint does not hold (holdout, batch, accumulation, validation_tokens), and a file
// whose values no longer match it is refused. readModelSpec alone takes any valid model, as a VTM
// artifact's may be.
void writeRunSettings(const RunSettings& settings, const std::filesystem::path& modelFile,
                      const std::filesystem::path& trainingFile);
[[nodiscard]] RunSettings readRunSettings(const std::filesystem::path& modelFile,
                                          const std::filesystem::path& trainingFile);
[[nodiscard]] TransformerSpec readModelSpec(const std::filesystem::path& modelFile);

}  // namespace Halcyne::Core::Vestra::Cli
