#include "cli/evaluation.h"

#include <stdexcept>

namespace Halcyne::Core::Vestra::Cli {

Evaluation evaluateBatches(RunTrainer& trainer, const EvaluationBatches& batches, const EvaluationProgress& progress) {
    const std::uint64_t total = batches.predictedTokens();
    double loss = 0.0;
    Evaluation evaluation;
    for (std::size_t i = 0; i < batches.size(); ++i) {
        const Batch batch = batches[i];
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
