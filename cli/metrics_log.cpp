#include "cli/metrics_log.h"

#include <algorithm>
#include <stdexcept>
#include <system_error>

#include "cli/file_io.h"
#include "cli/run_json.h"

namespace Halcyne::Core::Vestra::Cli {
namespace {

std::optional<StepRecord> parseRecord(std::string_view line) {
    const std::optional<Json> json = tryParseJsonDocument(line);
    if (!json) {
        return std::nullopt;
    }
    try {
        StepRecord record;
        record.step = unsignedJsonField<std::uint64_t>(*json, "step");
        record.loss = finiteJsonField(*json, "loss");
        if (json->contains("validation_loss")) {
            record.validationLoss = finiteJsonField(*json, "validation_loss");
        }
        record.learningRate = finiteJsonField(*json, "learning_rate");
        record.gradientNorm = finiteJsonField(*json, "gradient_norm");
        record.clipScale = finiteJsonField(*json, "clip_scale");
        record.tokensPerSecond = finiteJsonField(*json, "tokens_per_second");
        record.seconds = finiteJsonField(*json, "seconds");
        return record;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

std::string metricsLine(const StepRecord& record) {
    Json json = {{"step", record.step}, {"loss", record.loss}};
    if (record.validationLoss) {
        json["validation_loss"] = *record.validationLoss;
    }
    json["learning_rate"] = record.learningRate;
    json["gradient_norm"] = record.gradientNorm;
    json["clip_scale"] = record.clipScale;
    json["tokens_per_second"] = record.tokensPerSecond;
    json["seconds"] = record.seconds;
    return json.dump() + "\n";
}

MetricsText readMetricsText(std::string_view text, std::uint64_t keepThrough) {
    MetricsText read;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        const auto record = parseRecord(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
        const bool next = record && (read.records.empty() || record->step > read.records.back().step);
        if (next && record->step <= keepThrough) {
            read.records.push_back(*record);
        } else {
            read.dropped = true;
        }
    }
    return read;
}

MetricsLog::MetricsLog(std::filesystem::path path, std::uint64_t keepThrough) : path_(std::move(path)) {
    std::error_code error;
    if (std::filesystem::exists(path_, error) || std::filesystem::is_symlink(path_, error)) {
        // A link in its place is not the run's file: what it points to is neither read nor written,
        // and a file of the run's own replaces the link.
        const bool link = std::filesystem::is_symlink(path_, error);
        MetricsText read = readMetricsText(link ? std::string() : readFile(path_), keepThrough);
        records_ = std::move(read.records);
        if (link || read.dropped) {
            std::string kept;
            for (const StepRecord& record : records_) {
                kept += metricsLine(record);
            }
            writeFileAtomically(path_, kept);
        }
    }
    out_.emplace(AppendFile::open(path_));
}

void MetricsLog::append(const StepRecord& record) {
    out_->write(metricsLine(record));
    records_.push_back(record);
}

}  // namespace Halcyne::Core::Vestra::Cli
