#include "cli/evaluation.h"

#include <stdexcept>

namespace Halcyne::Core::Vestra::Cli {

Evaluation evaluateBatches(RunTrainer& trainer, std::span<const Batch> batches, const EvaluationProgress& progress) {
    std::uint64_t total = 0;
    for (const Batch& batch : batches) {
        total += predictedTokens(batch);
    }
    double loss = 0.0;
    Evaluation evaluation;
    for (const Batch& batch : batches) {
        loss += trainer.evaluate(batch.tokens, batch.targets);
        evaluation.tokens += predictedTokens(batch);
        if (progress) {
            progress(evaluation.tokens, total);
        }
    }
    if (evaluation.tokens == 0) {
        throw std::invalid_argument("nothing to evaluate: the text needs at least two bytes");
    }
    evaluation.meanLoss = loss / static_cast<double>(evaluation.tokens);
    return evaluation;
}

}  // namespace Halcyne::Core::Vestra::Cli
