// Mean loss per predicted token over a list of batches, through a trainer's evaluate (which changes
// no training state, so it may run between any two steps of a run without changing its course).
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>

#include "cli/run_trainer.h"
#include "cli/text_corpus.h"

namespace Halcyne::Core::Vestra::Cli {

struct Evaluation {
    double meanLoss = 0.0;  // nats per token
    std::uint64_t tokens = 0;

    [[nodiscard]] double perplexity() const { return std::exp(meanLoss); }
};

// Tokens scored so far and in all, after each batch.
using EvaluationProgress = std::function<void(std::uint64_t scored, std::uint64_t total)>;

// std::invalid_argument when the batches predict no token.
[[nodiscard]] Evaluation evaluateBatches(RunTrainer& trainer, const EvaluationBatches& batches,
                                         const EvaluationProgress& progress = {});

}  // namespace Halcyne::Core::Vestra::Cli
