// How a training run reports itself as it goes. On a terminal one status line is rewritten in
// place after every step (step, loss, validation loss, tokens/s, time left); otherwise plain lines
// are written, one at each validation and every `logEvery` steps, so that a log file stays short.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "cli/metrics_log.h"

namespace Halcyne::Core::Vestra::Cli {

// Whether the stream is an interactive terminal.
[[nodiscard]] bool isTerminal(std::FILE* stream);

class ProgressDisplay {
  public:
    ProgressDisplay(std::FILE* out, bool live, std::uint64_t totalSteps, std::uint64_t logEvery);
    // Ends a status line still open, so that whatever is written next (an error) starts a line.
    ~ProgressDisplay();
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

    // After each step; `secondsLeft` is the estimate for the steps still to run.
    void step(const StepRecord& record, double secondsLeft);
    // A line of its own (a saved checkpoint, the end of the run), below the status line.
    void note(std::string_view text);

  private:
    std::FILE* out_;
    bool live_;
    std::uint64_t totalSteps_;
    std::uint64_t logEvery_;
    std::size_t statusWidth_ = 0;
    double lastValidation_ = -1.0;
};

// "1:05" or "1:02:03".
[[nodiscard]] std::string formatDuration(double seconds);

}  // namespace Halcyne::Core::Vestra::Cli
