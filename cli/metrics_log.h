// The metrics file of a run: one JSON object per line and per optimizer step, appended as the run
// goes. Records past the checkpoint a run resumes from are dropped, so that after a resume the file
// holds each step once; a line cut short by a crash, or any line that is not a record of the next
// step, is skipped when the file is read back.
#pragma once

#include "cli/file_io.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
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

// One record as its line in the file, newline included.
[[nodiscard]] std::string metricsLine(const StepRecord& record);

// The records of a metrics file's text that a run keeps: well-formed lines whose step is a whole
// number after the step before and at most keepThrough. `dropped` tells that anything else was
// there.
struct MetricsText {
    std::vector<StepRecord> records;
    bool dropped = false;
};
[[nodiscard]] MetricsText readMetricsText(std::string_view text, std::uint64_t keepThrough);

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
