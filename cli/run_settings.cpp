#include "cli/run_settings.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <system_error>

#include "cli/command_line.h"
#include "cli/file_io.h"
#include "cli/run_json.h"
#include "cli/run_trainer.h"
#include "core/hash.h"

namespace Halcyne::Core::Vestra::Cli {
namespace {

// model.json and training.json are a few hundred bytes; a far larger one is not the run's.
constexpr std::uintmax_t largestSettingsFile = 1 << 20;

template <class Enum>
Enum enumField(const Json& object, const char* key) {
    return static_cast<Enum>(unsignedJsonField<std::uint8_t>(object, key));
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
    spec.vocabulary = unsignedJsonField<std::uint32_t>(json, "vocabulary");
    spec.context = unsignedJsonField<std::uint32_t>(json, "context");
    spec.layers = unsignedJsonField<std::uint32_t>(json, "layers");
    spec.model_dim = unsignedJsonField<std::uint32_t>(json, "model_dim");
    spec.ffn_dim = unsignedJsonField<std::uint32_t>(json, "ffn_dim");
    spec.query_heads = unsignedJsonField<std::uint32_t>(json, "query_heads");
    spec.kv_heads = unsignedJsonField<std::uint32_t>(json, "kv_heads");
    spec.head_dim = unsignedJsonField<std::uint32_t>(json, "head_dim");
    const Json& position = json.at("position");
    spec.position.kind = enumField<PositionKind>(position, "kind");
    spec.position.rope_base = finiteJsonField(position, "rope_base");
    const Json& normalization = json.at("normalization");
    spec.normalization.kind = enumField<NormalizationKind>(normalization, "kind");
    spec.normalization.epsilon = finiteJsonField(normalization, "epsilon");
    spec.feed_forward = enumField<FeedForwardKind>(json, "feed_forward");
    const Json& precision = json.at("precision");
    spec.precision.weights = enumField<PrecisionKind>(precision, "weights");
    spec.precision.activations = enumField<PrecisionKind>(precision, "activations");
    spec.precision.kv_cache = enumField<PrecisionKind>(precision, "kv_cache");
    spec.tied_embeddings = boolJsonField(json, "tied_embeddings");
    const Json& ports = json.at("ports");
    if (!ports.is_array()) {
        throw std::invalid_argument("'ports' must be an array");
    }
    for (const Json& port : ports) {
        spec.ports.push_back({stringJsonField(port, "name"), enumField<PortDirection>(port, "direction"),
                              enumField<PortKind>(port, "kind"), unsignedJsonField<std::uint32_t>(port, "width"),
                              stringJsonField(port, "schema")});
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
    config.learning_rate = finiteJsonField(json, "learning_rate");
    config.beta1 = finiteJsonField(json, "beta1");
    config.beta2 = finiteJsonField(json, "beta2");
    config.epsilon = finiteJsonField(json, "epsilon");
    config.weight_decay = finiteJsonField(json, "weight_decay");
    config.max_gradient_norm = finiteJsonField(json, "max_gradient_norm");
    config.warmup_steps = unsignedJsonField<std::uint64_t>(json, "warmup_steps");
    config.decay_steps = unsignedJsonField<std::uint64_t>(json, "decay_steps");
    config.seed = unsignedJsonField<std::uint64_t>(json, "seed");
    config.dataset_hash = stringJsonField(json, "dataset_hash");
    if (!json.at("ignore_token").is_null()) {
        config.ignore_token = unsignedJsonField<std::uint32_t>(json, "ignore_token");
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
        changes.push_back({unsignedJsonField<std::uint64_t>(change, "at_step"),
                           unsignedJsonField<std::uint64_t>(change, "steps"),
                           unsignedJsonField<std::uint64_t>(change, "decay_steps")});
    }
    return changes;
}

// The settings that shape a run's training state without being part of its configuration
// fingerprint, which the checkpoint holds: training.json keeps their own fingerprint, so that a
// hand edit of one of them is refused on resume rather than quietly training another run.
std::string startedWith(const RunSettings& settings) {
    char holdout[32];
    std::snprintf(holdout, sizeof holdout, "%.17g", settings.holdout);
    const std::string identity = std::string(holdout) + " " + std::to_string(settings.batch) + " " +
                                 std::to_string(settings.accumulation) + " " +
                                 std::to_string(settings.validationTokens);
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(vestraFnv1a64(identity)));
    return digits;
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
            {"schedule_changes", scheduleChangesJson(settings.scheduleChanges)},
            {"started_with", startedWith(settings)}};
}

void runFromJson(const Json& json, RunSettings& settings) {
    settings.text = stringJsonField(json, "text");
    settings.holdout = finiteJsonField(json, "holdout");
    settings.batch = unsignedJsonField<std::uint32_t>(json, "batch");
    settings.accumulation = unsignedJsonField<std::uint32_t>(json, "accumulation");
    settings.steps = unsignedJsonField<std::uint64_t>(json, "steps");
    settings.evalEvery = unsignedJsonField<std::uint64_t>(json, "eval_every");
    settings.checkpointEvery = unsignedJsonField<std::uint64_t>(json, "checkpoint_every");
    settings.validationTokens = unsignedJsonField<std::uint64_t>(json, "validation_tokens");
    settings.device = stringJsonField(json, "device");
    settings.scheduleChanges = scheduleChangesFromJson(json);
    // Runs started before the fingerprint was kept have none to compare.
    if (json.contains("started_with") && stringJsonField(json, "started_with") != startedWith(settings)) {
        throw std::invalid_argument(
            "holdout, batch, accumulation or validation_tokens differ from the values the run started with; they "
            "are fixed when a run starts");
    }
}

// Every fault in one file becomes one line naming it.
template <class Action>
auto inFile(const std::filesystem::path& file, Action&& action) {
    try {
        return action();
    } catch (const std::exception& error) {
        throw std::runtime_error(displayPath(file) + ": " + error.what());
    }
}

std::string readSettingsFile(const std::filesystem::path& file) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(file, error);
    if (!error && size > largestSettingsFile) {
        throw std::runtime_error(displayPath(file) + ": " + std::to_string(size) +
                                 " bytes, far more than a run's settings take");
    }
    return readFile(file);
}

void requireSpecFindings(const TransformerSpec& spec) {
    const auto issues = validateTransformerSpec(spec);
    if (!issues.empty()) {
        throw std::invalid_argument("invalid model: " + issues.front().field + " " + issues.front().message);
    }
}

// The command line chooses a model's shape and three flags (GELU, tied embeddings, BF16
// activations); everything else about the model is vestra's own.
void requireCommandLineModel(const TransformerSpec& spec) {
    requireSpecFindings(spec);
    TransformerSpec expected = defaultModelSpec();
    if (spec.vocabulary != expected.vocabulary) {
        throw std::invalid_argument("invalid model: vocabulary must be " + std::to_string(expected.vocabulary) +
                                    ", the byte tokenizer's");
    }
    expected.context = spec.context;
    expected.layers = spec.layers;
    expected.model_dim = spec.model_dim;
    expected.ffn_dim = spec.ffn_dim;
    expected.query_heads = spec.query_heads;
    expected.kv_heads = spec.kv_heads;
    expected.head_dim = spec.head_dim;
    expected.feed_forward =
        spec.feed_forward == FeedForwardKind::Gelu ? FeedForwardKind::Gelu : FeedForwardKind::SwiGlu;
    expected.tied_embeddings = spec.tied_embeddings;
    expected.precision.activations =
        spec.precision.activations == PrecisionKind::Bf16 ? PrecisionKind::Bf16 : PrecisionKind::Float64;
    if (transformerSpecIdentity(spec) != transformerSpecIdentity(expected)) {
        throw std::invalid_argument(
            "invalid model: only its shape, feed-forward kind, tied embeddings and BF16 activations may differ from "
            "vestra's model (ports, position, normalization and the other precisions are fixed)");
    }
}

bool isFingerprint(const std::string& text) {
    return text.size() == 16 && std::all_of(text.begin(), text.end(),
                                            [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// The settings a command line can give, with their own messages where the options name them.
void requireCommandLineRun(const RunSettings& settings) {
    const TransformerTrainingConfig& config = settings.config;
    validateTrainingConfig(config);
    const TransformerTrainingConfig fixed;
    if (config.beta1 != fixed.beta1 || config.beta2 != fixed.beta2 || config.epsilon != fixed.epsilon) {
        throw std::invalid_argument("Adam's beta1, beta2 and epsilon are vestra's own (0.9, 0.999, 1e-8)");
    }
    if (config.decay_steps == 0) {
        throw std::invalid_argument("decay_steps must be at least 1");
    }
    if (config.ignore_token) {
        throw std::invalid_argument("ignore_token must be null: the byte tokenizer has no token to ignore");
    }
    if (!isFingerprint(config.dataset_hash)) {
        throw std::invalid_argument("dataset_hash must be a text's fingerprint (16 hexadecimal digits)");
    }
    if (settings.batch == 0 || settings.accumulation == 0) {
        throw std::invalid_argument("batch and accumulation must be at least 1");
    }
    if (std::uint64_t{settings.batch} * settings.accumulation > maxWindowsPerStep) {
        throw std::invalid_argument("batch x accumulation must be at most " + std::to_string(maxWindowsPerStep) +
                                    " windows per step");
    }
    if (!(settings.holdout >= 0.0 && settings.holdout < 1.0)) {
        throw std::invalid_argument("holdout must be in [0, 1)");
    }
    if (settings.steps == 0) {
        throw std::invalid_argument("steps must be at least 1");
    }
    if (settings.evalEvery == 0 || settings.checkpointEvery == 0) {
        throw std::invalid_argument("eval and checkpoint intervals must be at least 1 step");
    }
    if (settings.validationTokens == 0) {
        throw std::invalid_argument("validation_tokens must be at least 1");
    }
    const auto devices = availableDevices();
    if (std::find(devices.begin(), devices.end(), settings.device) == devices.end()) {
        throw std::invalid_argument("device '" + settings.device + "' is not one this build has");
    }
}

}  // namespace

void validateRunSettings(const RunSettings& settings) {
    requireCommandLineModel(settings.spec);
    requireCommandLineRun(settings);
}

RunSettingsText runSettingsText(const RunSettings& settings) {
    const Json training = {{"config", configJson(settings.config)}, {"run", runJson(settings)}};
    return {specJson(settings.spec).dump(2) + "\n", training.dump(2) + "\n"};
}

RunSettings parseRunSettings(const RunSettingsText& text, const std::filesystem::path& modelFile,
                             const std::filesystem::path& trainingFile) {
    RunSettings settings = inFile(trainingFile, [&] {
        const Json json = parseJsonDocument(text.training);
        RunSettings read;
        read.config = configFromJson(json.at("config"));
        runFromJson(json.at("run"), read);
        requireCommandLineRun(read);
        return read;
    });
    settings.spec = inFile(modelFile, [&] {
        const TransformerSpec spec = specFromJson(parseJsonDocument(text.model));
        requireCommandLineModel(spec);
        return spec;
    });
    return settings;
}

void writeRunSettings(const RunSettings& settings, const std::filesystem::path& modelFile,
                      const std::filesystem::path& trainingFile) {
    const RunSettingsText text = runSettingsText(settings);
    writeFileAtomically(modelFile, text.model);
    writeFileAtomically(trainingFile, text.training);
}

TransformerSpec readModelSpec(const std::filesystem::path& modelFile) {
    const std::string text = readSettingsFile(modelFile);
    return inFile(modelFile, [&] {
        const TransformerSpec spec = specFromJson(parseJsonDocument(text));
        requireSpecFindings(spec);
        return spec;
    });
}

RunSettings readRunSettings(const std::filesystem::path& modelFile, const std::filesystem::path& trainingFile) {
    const std::string training = readSettingsFile(trainingFile);
    const std::string model = readSettingsFile(modelFile);
    return parseRunSettings({model, training}, modelFile, trainingFile);
}

}  // namespace Halcyne::Core::Vestra::Cli
