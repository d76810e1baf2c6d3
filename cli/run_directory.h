// The files of a run directory. A new run claims a directory that does not exist or is empty, so
// that no file of another run is ever overwritten, or one a run left before its first checkpoint
// (only its own files, no checkpoint.vtt); an existing run is one whose model.json, training.json
// and checkpoint.vtt are all there.
#pragma once

#include <filesystem>

namespace Halcyne::Core::Vestra::Cli {

class RunDirectory {
  public:
    explicit RunDirectory(std::filesystem::path root) : root_(std::move(root)) {}

    // Creates the directory (and its parents) for a new run. std::runtime_error when it holds
    // anything, with a hint to resume when what it holds is a run.
    static RunDirectory create(const std::filesystem::path& root);
    // std::runtime_error "<dir> holds no run (...)" when a run file is missing.
    static RunDirectory open(const std::filesystem::path& root);
    // Whether a directory holds a run's specification, so that it can stand for a model.
    [[nodiscard]] static bool holdsRun(const std::filesystem::path& root);

    [[nodiscard]] const std::filesystem::path& root() const noexcept { return root_; }
    [[nodiscard]] std::filesystem::path modelFile() const { return root_ / "model.json"; }
    [[nodiscard]] std::filesystem::path trainingFile() const { return root_ / "training.json"; }
    [[nodiscard]] std::filesystem::path checkpointFile() const { return root_ / "checkpoint.vtt"; }
    [[nodiscard]] std::filesystem::path metricsFile() const { return root_ / "metrics.jsonl"; }
    [[nodiscard]] std::filesystem::path lossCurveFile() const { return root_ / "loss.svg"; }
    [[nodiscard]] std::filesystem::path artifactFile() const { return root_ / "model.vtm"; }

  private:
    // Removes the files of a run stopped before its first checkpoint, when they are all the
    // directory holds.
    void forgetUnsavedRun() const;

    std::filesystem::path root_;
};

}  // namespace Halcyne::Core::Vestra::Cli
