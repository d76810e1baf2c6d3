#include "cli/model_commands.h"

#include <cmath>
#include <cstdio>
#include <optional>
#include <stdexcept>

#include "artifacts/byte_tokenizer.h"
#include "cli/evaluation.h"
#include "cli/file_io.h"
#include "cli/memory_budget.h"
#include "cli/model_files.h"
#include "cli/run_trainer.h"
#include "cli/status_line.h"
#include "cli/text_corpus.h"

namespace Halcyne::Core::Vestra::Cli {

int sampleCommand(const std::filesystem::path& model, const std::optional<std::filesystem::path>& specFile,
                  const SampleRequest& request) {
    if (request.prompt && request.prompt->empty()) {
        throw std::invalid_argument("--prompt must hold at least one byte");
    }
    const auto loaded = loadModel(model, specFile);
    const std::string prompt = request.prompt.value_or(std::string(defaultPrompt));
    const std::vector<std::uint32_t> ids = ByteTokenizer().encode(prompt, {}).ids;
    for (std::uint64_t i = 0; i < request.count; ++i) {
        SamplingOptions options = request.options;
        options.seed += i;  // wraps past the largest seed, as any seed may
        if (request.count > 1) {
            std::printf("--- sample %llu of %llu (seed %llu) ---\n", static_cast<unsigned long long>(i + 1),
                        static_cast<unsigned long long>(request.count), static_cast<unsigned long long>(options.seed));
        }
        if (request.prompt) {
            std::fwrite(prompt.data(), 1, prompt.size(), stdout);
        }
        (void)sampleTokens(*loaded, ids, options, [](std::uint32_t token) {
            std::fputc(static_cast<int>(token), stdout);
            std::fflush(stdout);
        });
        std::fputc('\n', stdout);
    }
    return 0;
}

int evalCommand(const std::filesystem::path& model, const std::optional<std::filesystem::path>& specFile,
                const std::filesystem::path& text, const std::string& device, std::uint32_t batch) {
    const auto loaded = loadModel(model, specFile);
    const MappedFile content = readText(text);
    requireMemory(loaded->spec(), device, batch, content.bytes().size());
    const EvaluationBatches batches(content.bytes(), loaded->spec().context, batch);

    TransformerTrainingConfig config;
    config.dataset_hash = textFingerprint(content.view());
    const auto trainer = makeTrainer(device, loaded->spec(), loaded->weights(), config);
    if (batches.empty()) {
        throw std::runtime_error(displayPath(text) + ": nothing to score in a text of one byte");
    }
    std::optional<StatusLine> status;
    if (isTerminal(stderr)) {
        status.emplace(stderr);
    }
    int shown = -1;  // the percentage on the line: rewritten when it moves, at most 101 times
    const Evaluation result = evaluateBatches(*trainer, batches, [&](std::uint64_t scored, std::uint64_t total) {
        const int percent = total > 0 ? static_cast<int>(100 * scored / total) : 100;
        if (status && percent != shown) {
            shown = percent;
            status->show("scoring " + displayPath(text) + ": " + std::to_string(scored) + " of " +
                         std::to_string(total) + " tokens (" + std::to_string(percent) + "%)");
        }
    });
    if (status) {
        status->erase();
    }
    std::printf("%s: %llu tokens, mean loss %.4f per token, perplexity %.3f, %.3f bits per byte\n",
                displayPath(text).c_str(), static_cast<unsigned long long>(result.tokens), result.meanLoss,
                result.perplexity(), result.meanLoss / std::log(2.0));
    return 0;
}

}  // namespace Halcyne::Core::Vestra::Cli
