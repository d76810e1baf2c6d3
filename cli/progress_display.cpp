#include "cli/progress_display.h"

#include <algorithm>
#include <cmath>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace Halcyne::Core::Vestra::Cli {

bool isTerminal(std::FILE* stream) {
#ifdef _WIN32
    return _isatty(_fileno(stream)) != 0;
#else
    return ::isatty(::fileno(stream)) != 0;
#endif
}

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
    : out_(out), live_(live), totalSteps_(totalSteps), logEvery_(logEvery) {}

ProgressDisplay::~ProgressDisplay() {
    if (live_ && statusWidth_ > 0) {
        std::fputc('\n', out_);
        std::fflush(out_);
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
    if (live_) {
        // Spaces over the rest of a longer previous line: no terminal control sequences needed.
        const std::size_t pad = statusWidth_ > status.size() ? statusWidth_ - status.size() : 0;
        std::fprintf(out_, "\r%s%*s", status.c_str(), static_cast<int>(pad), "");
        statusWidth_ = status.size();
    } else if (record.validationLoss || record.step % logEvery_ == 0 || record.step == totalSteps_) {
        std::fprintf(out_, "%s\n", status.c_str());
    }
    std::fflush(out_);
}

void ProgressDisplay::note(std::string_view text) {
    if (live_ && statusWidth_ > 0) {
        std::fputc('\n', out_);
        statusWidth_ = 0;
    }
    std::fprintf(out_, "%.*s\n", static_cast<int>(text.size()), text.data());
    std::fflush(out_);
}

}  // namespace Halcyne::Core::Vestra::Cli
