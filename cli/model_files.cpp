#include "cli/model_files.h"

#include <stdexcept>
#include <string_view>
#include <system_error>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "artifacts/byte_tokenizer.h"
#include "artifacts/vtm_reader.h"
#include "cli/file_io.h"
#include "cli/run_directory.h"
#include "cli/run_settings.h"
#include "training/checkpoint_file.h"
#include "training/transformer_trainer.h"
#include "training/vtt_checkpoint.h"

namespace Halcyne::Core::Vestra::Cli {
namespace {

std::string byteTokenizerFingerprint() {
    return ByteTokenizer().contract().fingerprint;
}

std::string describeShape(const TransformerSpec& spec) {
    return "layers " + std::to_string(spec.layers) + ", model_dim " + std::to_string(spec.model_dim) + ", ffn_dim " +
           std::to_string(spec.ffn_dim) + ", heads " + std::to_string(spec.query_heads) + " x " +
           std::to_string(spec.head_dim) + ", vocabulary " + std::to_string(spec.vocabulary);
}

// Physical memory, where the system says; a trainer holds at least its checkpoint's worth.
std::optional<std::uint64_t> physicalMemory() {
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGESIZE)
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages > 0 && pageSize > 0) {
        return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
    }
#endif
    return std::nullopt;
}

template <class Load>
auto loading(const std::filesystem::path& file, Load&& load) {
    try {
        return load();
    } catch (const std::runtime_error&) {
        throw;  // a file layer's message, which names its file
    } catch (const std::exception& error) {
        throw std::runtime_error(displayPath(file) + ": " + error.what());
    }
}

std::shared_ptr<const TransformerModel> fromRun(const std::filesystem::path& root) {
    const RunDirectory run = RunDirectory::open(root);
    const RunSettings settings = readRunSettings(run.modelFile(), run.trainingFile());
    const std::uint64_t size = requireCheckpointOfModel(run.checkpointFile(), run.modelFile(), settings.spec);
    TransformerTrainer trainer(settings.spec, zeroWeights(settings.spec), settings.config);
    try {
        trainer.restoreCheckpoint(readCheckpointFile(run.checkpointFile(), size));
    } catch (const std::exception& error) {
        throw std::runtime_error(displayPath(run.checkpointFile()) + ": " + error.what());
    }
    return std::make_shared<const TransformerModel>(settings.spec, trainer.weights(), byteTokenizerFingerprint());
}

std::shared_ptr<const TransformerModel> fromArtifact(const std::filesystem::path& file,
                                                     const std::optional<std::filesystem::path>& specFile) {
    const std::string bytes = readFile(file);
    if (std::string_view(bytes).starts_with("VSTRVTT1")) {
        throw std::runtime_error(displayPath(file) +
                                 " is a checkpoint, which does not name its model: give its run directory");
    }
    const std::filesystem::path specPath = specFile.value_or(RunDirectory(file.parent_path()).modelFile());
    return loading(file, [&] {
        const VtmContents contents =
            readVtmArtifact(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
        if (contents.tokenizerFingerprint && *contents.tokenizerFingerprint != byteTokenizerFingerprint()) {
            throw std::invalid_argument("the model was built for another tokenizer");
        }
        std::error_code error;
        if (!specFile && !std::filesystem::exists(specPath, error)) {
            throw std::invalid_argument(
                "no model specification beside it: give one with --model-json (a run's model.json)");
        }
        const TransformerSpec spec = readModelSpec(specPath);
        return std::make_shared<const TransformerModel>(spec, vtmWeights(contents, spec),
                                                        contents.tokenizerFingerprint);
    });
}

}  // namespace

std::uint64_t requireCheckpointOfModel(const std::filesystem::path& checkpoint, const std::filesystem::path& modelFile,
                                       const TransformerSpec& spec) {
    const std::optional<std::uint64_t> expected = vttCheckpointSize(spec);
    const std::string claim = displayPath(modelFile) + " describes a model of " + describeShape(spec);
    if (!expected) {
        throw std::runtime_error(claim + ", far too large to train");
    }
    const auto memory = physicalMemory();
    if (memory && *expected > *memory) {
        throw std::runtime_error(claim + ", whose training state of " + std::to_string(*expected) +
                                 " bytes exceeds this machine's memory of " + std::to_string(*memory));
    }
    std::error_code error;
    if (std::filesystem::is_regular_file(checkpoint, error)) {
        const std::uintmax_t actual = std::filesystem::file_size(checkpoint, error);
        if (!error && actual != *expected) {
            throw std::runtime_error(displayPath(checkpoint) + " holds " + std::to_string(actual) + " bytes, but " +
                                     claim + ", whose checkpoint is " + std::to_string(*expected) + " bytes");
        }
    }
    return *expected;
}

void exportArtifact(const TransformerSpec& spec, const TransformerWeights& weights, const std::filesystem::path& file) {
    const TransformerModel model(spec, weights, byteTokenizerFingerprint());
    writeFileAtomically(file, model.artifact());
}

std::shared_ptr<const TransformerModel> loadModel(const std::filesystem::path& path,
                                                  const std::optional<std::filesystem::path>& specFile) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        return fromRun(path);
    }
    return fromArtifact(path, specFile);
}

}  // namespace Halcyne::Core::Vestra::Cli
