#include "cli/run_settings.h"

#include <limits>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "cli/file_io.h"

namespace Halcyne::Core::Vestra::Cli {
namespace {

using Json = nlohmann::ordered_json;

// Integers are read through their JSON kind, so that -1 or 2.5 in a hand-edited file is refused
// instead of being wrapped or truncated into range.
template <class Unsigned>
Unsigned unsignedField(const Json& object, const char* key) {
    const Json& value = object.at(key);
    if (!value.is_number_unsigned() || value.get<std::uint64_t>() > std::numeric_limits<Unsigned>::max()) {
        throw std::invalid_argument(std::string("'") + key + "' must be an unsigned integer in range");
    }
    return static_cast<Unsigned>(value.get<std::uint64_t>());
}

template <class Enum>
Enum enumField(const Json& object, const char* key) {
    return static_cast<Enum>(unsignedField<std::uint8_t>(object, key));
}

double numberField(const Json& object, const char* key) {
    const Json& value = object.at(key);
    if (!value.is_number()) {
        throw std::invalid_argument(std::string("'") + key + "' must be a number");
    }
    return value.get<double>();
}

Json specJson(const TransformerSpec& spec) {
    Json ports = Json::array();
    for (const TransformerPort& port : spec.ports) {
        ports.push_back({{"name", port.name},
                         {"direction", static_cast<unsigned>(port.direction)},
                         {"kind", static_cast<unsigned>(port.kind)},
                         {"width", port.width},
                         {"schema", port.schema}});
    }
    return {{"vocabulary", spec.vocabulary},
            {"context", spec.context},
            {"layers", spec.layers},
            {"model_dim", spec.model_dim},
            {"ffn_dim", spec.ffn_dim},
            {"query_heads", spec.query_heads},
            {"kv_heads", spec.kv_heads},
            {"head_dim", spec.head_dim},
            {"position", {{"kind", static_cast<unsigned>(spec.position.kind)}, {"rope_base", spec.position.rope_base}}},
            {"normalization",
             {{"kind", static_cast<unsigned>(spec.normalization.kind)}, {"epsilon", spec.normalization.epsilon}}},
            {"feed_forward", static_cast<unsigned>(spec.feed_forward)},
            {"precision",
             {{"weights", static_cast<unsigned>(spec.precision.weights)},
              {"activations", static_cast<unsigned>(spec.precision.activations)},
              {"kv_cache", static_cast<unsigned>(spec.precision.kv_cache)}}},
            {"tied_embeddings", spec.tied_embeddings},
            {"ports", ports}};
}

TransformerSpec specFromJson(const Json& json) {
    TransformerSpec spec;
    spec.vocabulary = unsignedField<std::uint32_t>(json, "vocabulary");
    spec.context = unsignedField<std::uint32_t>(json, "context");
    spec.layers = unsignedField<std::uint32_t>(json, "layers");
    spec.model_dim = unsignedField<std::uint32_t>(json, "model_dim");
    spec.ffn_dim = unsignedField<std::uint32_t>(json, "ffn_dim");
    spec.query_heads = unsignedField<std::uint32_t>(json, "query_heads");
    spec.kv_heads = unsignedField<std::uint32_t>(json, "kv_heads");
    spec.head_dim = unsignedField<std::uint32_t>(json, "head_dim");
    const Json& position = json.at("position");
    spec.position.kind = enumField<PositionKind>(position, "kind");
    spec.position.rope_base = numberField(position, "rope_base");
    const Json& normalization = json.at("normalization");
    spec.normalization.kind = enumField<NormalizationKind>(normalization, "kind");
    spec.normalization.epsilon = numberField(normalization, "epsilon");
    spec.feed_forward = enumField<FeedForwardKind>(json, "feed_forward");
    const Json& precision = json.at("precision");
    spec.precision.weights = enumField<PrecisionKind>(precision, "weights");
    spec.precision.activations = enumField<PrecisionKind>(precision, "activations");
    spec.precision.kv_cache = enumField<PrecisionKind>(precision, "kv_cache");
    spec.tied_embeddings = json.at("tied_embeddings").get<bool>();
    for (const Json& port : json.at("ports")) {
        spec.ports.push_back({port.at("name").get<std::string>(), enumField<PortDirection>(port, "direction"),
                              enumField<PortKind>(port, "kind"), unsignedField<std::uint32_t>(port, "width"),
                              port.at("schema").get<std::string>()});
    }
    return spec;
}

Json configJson(const TransformerTrainingConfig& config) {
    return {{"learning_rate", config.learning_rate},
            {"beta1", config.beta1},
            {"beta2", config.beta2},
            {"epsilon", config.epsilon},
            {"weight_decay", config.weight_decay},
            {"max_gradient_norm", config.max_gradient_norm},
            {"warmup_steps", config.warmup_steps},
            {"decay_steps", config.decay_steps},
            {"seed", config.seed},
            {"dataset_hash", config.dataset_hash},
            {"ignore_token", config.ignore_token ? Json(*config.ignore_token) : Json(nullptr)}};
}

TransformerTrainingConfig configFromJson(const Json& json) {
    TransformerTrainingConfig config;
    config.learning_rate = numberField(json, "learning_rate");
    config.beta1 = numberField(json, "beta1");
    config.beta2 = numberField(json, "beta2");
    config.epsilon = numberField(json, "epsilon");
    config.weight_decay = numberField(json, "weight_decay");
    config.max_gradient_norm = numberField(json, "max_gradient_norm");
    config.warmup_steps = unsignedField<std::uint64_t>(json, "warmup_steps");
    config.decay_steps = unsignedField<std::uint64_t>(json, "decay_steps");
    config.seed = unsignedField<std::uint64_t>(json, "seed");
    config.dataset_hash = json.at("dataset_hash").get<std::string>();
    if (!json.at("ignore_token").is_null()) {
        config.ignore_token = unsignedField<std::uint32_t>(json, "ignore_token");
    }
    return config;
}

Json scheduleChangesJson(const std::vector<ScheduleChange>& changes) {
    Json list = Json::array();
    for (const ScheduleChange& change : changes) {
        list.push_back({{"at_step", change.atStep}, {"steps", change.steps}, {"decay_steps", change.decaySteps}});
    }
    return list;
}

// Runs from before the end could move have no list.
std::vector<ScheduleChange> scheduleChangesFromJson(const Json& run) {
    std::vector<ScheduleChange> changes;
    if (!run.contains("schedule_changes")) {
        return changes;
    }
    const Json& list = run.at("schedule_changes");
    if (!list.is_array()) {
        throw std::invalid_argument("'schedule_changes' must be a list");
    }
    for (const Json& change : list) {
        changes.push_back({unsignedField<std::uint64_t>(change, "at_step"),
                           unsignedField<std::uint64_t>(change, "steps"),
                           unsignedField<std::uint64_t>(change, "decay_steps")});
    }
    return changes;
}

Json runJson(const RunSettings& settings) {
    return {{"text", settings.text.string()},
            {"holdout", settings.holdout},
            {"batch", settings.batch},
            {"accumulation", settings.accumulation},
            {"steps", settings.steps},
            {"eval_every", settings.evalEvery},
            {"checkpoint_every", settings.checkpointEvery},
            {"validation_tokens", settings.validationTokens},
            {"device", settings.device},
            {"schedule_changes", scheduleChangesJson(settings.scheduleChanges)}};
}

void runFromJson(const Json& json, RunSettings& settings) {
    settings.text = json.at("text").get<std::string>();
    settings.holdout = numberField(json, "holdout");
    settings.batch = unsignedField<std::uint32_t>(json, "batch");
    settings.accumulation = unsignedField<std::uint32_t>(json, "accumulation");
    settings.steps = unsignedField<std::uint64_t>(json, "steps");
    settings.evalEvery = unsignedField<std::uint64_t>(json, "eval_every");
    settings.checkpointEvery = unsignedField<std::uint64_t>(json, "checkpoint_every");
    settings.validationTokens = unsignedField<std::uint64_t>(json, "validation_tokens");
    settings.device = json.at("device").get<std::string>();
    settings.scheduleChanges = scheduleChangesFromJson(json);
}

// Parses and converts one file; every fault becomes one line naming the file.
template <class Convert>
auto readJsonFile(const std::filesystem::path& file, Convert&& convert) {
    const std::string text = readFile(file);
    try {
        return convert(Json::parse(text));
    } catch (const std::exception& error) {
        throw std::runtime_error(displayPath(file) + ": " + error.what());
    }
}

}  // namespace

void validateRunSettings(const RunSettings& settings) {
    const auto issues = validateTransformerSpec(settings.spec);
    if (!issues.empty()) {
        throw std::invalid_argument("invalid model: " + issues.front().field + " " + issues.front().message);
    }
    validateTrainingConfig(settings.config);
    if (settings.batch == 0 || settings.accumulation == 0) {
        throw std::invalid_argument("batch and accumulation must be at least 1");
    }
    if (!(settings.holdout >= 0.0 && settings.holdout < 1.0)) {
        throw std::invalid_argument("holdout must be in [0, 1)");
    }
    if (settings.evalEvery == 0 || settings.checkpointEvery == 0) {
        throw std::invalid_argument("eval and checkpoint intervals must be at least 1 step");
    }
}

void writeRunSettings(const RunSettings& settings, const std::filesystem::path& modelFile,
                      const std::filesystem::path& trainingFile) {
    writeFileAtomically(modelFile, specJson(settings.spec).dump(2) + "\n");
    const Json training = {{"config", configJson(settings.config)}, {"run", runJson(settings)}};
    writeFileAtomically(trainingFile, training.dump(2) + "\n");
}

TransformerSpec readModelSpec(const std::filesystem::path& modelFile) {
    return readJsonFile(modelFile, [](const Json& json) { return specFromJson(json); });
}

RunSettings readRunSettings(const std::filesystem::path& modelFile, const std::filesystem::path& trainingFile) {
    RunSettings settings = readJsonFile(trainingFile, [](const Json& json) {
        RunSettings read;
        read.config = configFromJson(json.at("config"));
        runFromJson(json.at("run"), read);
        return read;
    });
    settings.spec = readModelSpec(modelFile);
    try {
        validateRunSettings(settings);
    } catch (const std::invalid_argument& error) {
        throw std::runtime_error(displayPath(trainingFile) + ": " + error.what());
    }
    return settings;
}

}  // namespace Halcyne::Core::Vestra::Cli
