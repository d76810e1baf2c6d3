// The metrics reader against an arbitrary metrics.jsonl. What it keeps are records of rising whole
// steps up to the step it keeps through, with finite values; writing them back and reading the
// result keeps every one of them unchanged and drops nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cli/metrics_log.h"

namespace Cli = Halcyne::Core::Vestra::Cli;

namespace {

bool sameRecord(const Cli::StepRecord& a, const Cli::StepRecord& b) {
    return a.step == b.step && a.loss == b.loss && a.validationLoss == b.validationLoss &&
           a.learningRate == b.learningRate && a.gradientNorm == b.gradientNorm && a.clipScale == b.clipScale &&
           a.tokensPerSecond == b.tokensPerSecond && a.seconds == b.seconds;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // The step a resume keeps through, drawn from the input so that both ends of the range are met.
    const std::uint64_t keepThrough = size % 2 == 0 ? UINT64_MAX : size % 16;
    const Cli::MetricsText read = Cli::readMetricsText(text, keepThrough);
    std::string written;
    for (std::size_t i = 0; i < read.records.size(); ++i) {
        const Cli::StepRecord& record = read.records[i];
        if (record.step > keepThrough || (i > 0 && record.step <= read.records[i - 1].step)) {
            std::abort();
        }
        written += Cli::metricsLine(record);
    }
    const Cli::MetricsText again = Cli::readMetricsText(written, keepThrough);
    if (again.dropped || again.records.size() != read.records.size()) {
        std::abort();
    }
    for (std::size_t i = 0; i < read.records.size(); ++i) {
        if (!sameRecord(again.records[i], read.records[i])) {
            std::abort();
        }
    }
    return 0;
}
