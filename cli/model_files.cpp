#include "cli/model_files.h"

#include <stdexcept>
#include <string_view>

#include "artifacts/byte_tokenizer.h"
#include "artifacts/vtm_reader.h"
#include "cli/file_io.h"
#include "cli/run_directory.h"
#include "cli/run_settings.h"
#include "training/transformer_trainer.h"

namespace Halcyne::Core::Vestra::Cli {
namespace {

std::string byteTokenizerFingerprint() {
    return ByteTokenizer().contract().fingerprint;
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
    TransformerTrainer trainer(settings.spec, zeroWeights(settings.spec), settings.config);
    try {
        trainer.loadCheckpoint(run.checkpointFile());
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
            throw std::invalid_argument("no model specification beside it: give one with --spec (a run's model.json)");
        }
        const TransformerSpec spec = readModelSpec(specPath);
        return std::make_shared<const TransformerModel>(spec, vtmWeights(contents, spec),
                                                        contents.tokenizerFingerprint);
    });
}

}  // namespace

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
