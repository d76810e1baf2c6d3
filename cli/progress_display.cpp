#include "cli/progress_display.h"

#include <algorithm>
#include <cmath>

namespace Halcyne::Core::Vestra::Cli {

std::string formatDuration(double seconds) {
    const auto total = static_cast<long long>(std::llround(std::max(seconds, 0.0)));
    char text[32];
    if (total >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    }
    return text;
}

ProgressDisplay::ProgressDisplay(std::FILE* out, bool live, std::uint64_t totalSteps, std::uint64_t logEvery)
    : out_(out), totalSteps_(totalSteps), logEvery_(logEvery) {
    if (live) {
        status_.emplace(out);
    }
}

void ProgressDisplay::step(const StepRecord& record, double secondsLeft) {
    if (record.validationLoss) {
        lastValidation_ = *record.validationLoss;
    }
    char line[160];
    int length =
        std::snprintf(line, sizeof line, "step %llu/%llu  loss %.4f", static_cast<unsigned long long>(record.step),
                      static_cast<unsigned long long>(totalSteps_), record.loss);
    if (lastValidation_ >= 0.0) {
        length +=
            std::snprintf(line + length, sizeof line - static_cast<std::size_t>(length), "  val %.4f", lastValidation_);
    }
    std::snprintf(line + length, sizeof line - static_cast<std::size_t>(length), "  %.0f tok/s  ETA %s",
                  record.tokensPerSecond, formatDuration(secondsLeft).c_str());
    const std::string status = line;
    if (status_) {
        status_->show(status);
    } else if (record.validationLoss || record.step % logEvery_ == 0 || record.step == totalSteps_) {
        std::fprintf(out_, "%s\n", status.c_str());
        std::fflush(out_);
    }
}

void ProgressDisplay::note(std::string_view text) {
    if (status_) {
        status_->end();
    }
    std::fprintf(out_, "%.*s\n", static_cast<int>(text.size()), text.data());
    std::fflush(out_);
}

}  // namespace Halcyne::Core::Vestra::Cli
