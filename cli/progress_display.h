// How a training run reports itself as it goes. On a terminal one status line is rewritten in
// place after every step (step, loss, validation loss, tokens/s, time left); otherwise plain lines
// are written, one at each validation and every `logEvery` steps, so that a log file stays short.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "cli/metrics_log.h"
#include "cli/status_line.h"

namespace Halcyne::Core::Vestra::Cli {

class ProgressDisplay {
  public:
    ProgressDisplay(std::FILE* out, bool live, std::uint64_t totalSteps, std::uint64_t logEvery);

    // After each step; `secondsLeft` is the estimate for the steps still to run.
    void step(const StepRecord& record, double secondsLeft);
    // A line of its own (a saved checkpoint, the end of the run), below the status line.
    void note(std::string_view text);

  private:
    std::FILE* out_;
    std::optional<StatusLine> status_;  // on a terminal
    std::uint64_t totalSteps_;
    std::uint64_t logEvery_;
    double lastValidation_ = -1.0;
};

// "1:05" or "1:02:03".
[[nodiscard]] std::string formatDuration(double seconds);

}  // namespace Halcyne::Core::Vestra::Cli
