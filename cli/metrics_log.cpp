#include "cli/metrics_log.h"

#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "cli/file_io.h"

namespace Halcyne::Core::Vestra::Cli {
namespace {

using Json = nlohmann::ordered_json;

std::string recordLine(const StepRecord& record) {
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

std::optional<StepRecord> parseRecord(const std::string& line) {
    const Json json = Json::parse(line, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        return std::nullopt;
    }
    try {
        StepRecord record;
        record.step = json.at("step").get<std::uint64_t>();
        record.loss = json.at("loss").get<double>();
        if (json.contains("validation_loss")) {
            record.validationLoss = json.at("validation_loss").get<double>();
        }
        record.learningRate = json.at("learning_rate").get<double>();
        record.gradientNorm = json.at("gradient_norm").get<double>();
        record.clipScale = json.at("clip_scale").get<double>();
        record.tokensPerSecond = json.at("tokens_per_second").get<double>();
        record.seconds = json.at("seconds").get<double>();
        return record;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

}  // namespace

MetricsLog::MetricsLog(std::filesystem::path path, std::uint64_t keepThrough) : path_(std::move(path)) {
    std::error_code error;
    if (std::filesystem::exists(path_, error) || std::filesystem::is_symlink(path_, error)) {
        // A link in its place is not the run's file: what it points to is neither read nor written,
        // and a file of the run's own replaces the link.
        const bool link = std::filesystem::is_symlink(path_, error);
        std::istringstream lines(link ? std::string() : readFile(path_));
        bool dropped = link;
        for (std::string line; std::getline(lines, line);) {
            const auto record = parseRecord(line);
            if (record && record->step <= keepThrough) {
                records_.push_back(*record);
            } else {
                dropped = true;
            }
        }
        if (dropped) {
            std::string kept;
            for (const StepRecord& record : records_) {
                kept += recordLine(record);
            }
            writeFileAtomically(path_, kept);
        }
    }
    out_.emplace(AppendFile::open(path_));
}

void MetricsLog::append(const StepRecord& record) {
    out_->write(recordLine(record));
    records_.push_back(record);
}

}  // namespace Halcyne::Core::Vestra::Cli
