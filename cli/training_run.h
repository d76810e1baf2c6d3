// `vestra train`: a new run in an empty directory, or the continuation of one from its checkpoint.
// Each optimizer step draws `accumulation` batches of `batch` windows through the trainer's seeded
// data order, so the whole course of a run is in its checkpoint: a run stopped and resumed ends
// with the same checkpoint bytes as one that ran straight through. Everything a run needs is
// checked before its directory is touched.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "cli/run_settings.h"
#include "core/transformer_weights.h"

namespace Halcyne::Core::Vestra::Cli {

// A trained model a new run starts from instead of weights drawn from its seed. Its weights go
// into the run's first checkpoint, so a resume needs nothing of it.
struct InitialModel {
    std::filesystem::path file;
    TransformerWeights weights;
};

struct NewRun {
    RunSettings settings;  // complete but for dataset_hash, which the text gives
    std::filesystem::path directory;
    std::optional<InitialModel> init;
};

// What may change when a run is resumed: where the text now is, how far to go, how often to
// evaluate and save, and which trainer runs it. Nothing that shapes the training state.
struct ResumedRun {
    std::filesystem::path directory;
    std::optional<std::filesystem::path> text;
    std::optional<std::uint64_t> steps;
    std::optional<std::uint64_t> evalEvery;
    std::optional<std::uint64_t> checkpointEvery;
    std::optional<std::string> device;
};

struct TrainingControl {
    std::uint64_t logEvery = 10;             // plain log lines, when the output is not a terminal
    std::optional<std::uint64_t> stopAfter;  // raise an interrupt once this step is done
    std::uint64_t sampleEvery = 0;           // steps between samples on the log; 0: none
};

// Both return the exit status (0, also after an interrupt) or throw with one line for the user.
int startRun(NewRun run, const TrainingControl& control);
int resumeRun(const ResumedRun& run, const TrainingControl& control);

}  // namespace Halcyne::Core::Vestra::Cli
