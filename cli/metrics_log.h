// The metrics file of a run: one JSON object per line and per optimizer step, appended as the run
// goes. Records past the checkpoint a run resumes from are dropped, so that after a resume the file
// holds each step once; a line cut short by a crash is skipped when the file is read back.
#pragma once

#include "cli/file_io.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

namespace Halcyne::Core::Vestra::Cli {

struct StepRecord {
    std::uint64_t step = 0;
    double loss = 0.0;  // mean per token over the step's window
    std::optional<double> validationLoss;
    double learningRate = 0.0;
    double gradientNorm = 0.0;
    double clipScale = 1.0;
    double tokensPerSecond = 0.0;
    double seconds = 0.0;  // since the run (or its resumption) started
};

class MetricsLog {
  public:
    // Reads the records of steps up to keepThrough and rewrites the file when it held later ones.
    MetricsLog(std::filesystem::path path, std::uint64_t keepThrough);

    // std::runtime_error "cannot write <path>" when the line cannot be written.
    void append(const StepRecord& record);
    [[nodiscard]] const std::vector<StepRecord>& records() const noexcept { return records_; }

  private:
    std::filesystem::path path_;
    std::vector<StepRecord> records_;
    std::optional<AppendFile> out_;
};

}  // namespace Halcyne::Core::Vestra::Cli
