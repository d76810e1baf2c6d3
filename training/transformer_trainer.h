// TransformerTrainer: the CPU reference trainer. AdamW with bias correction and decoupled weight
// decay over a gradient-accumulation window, global-norm clipping, the warm-up/decay schedule and
// the seeded data order. Every operation validates before it mutates and commits last, so a
// refused call leaves the trainer byte for byte as it was (its checkpoint image proves it).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "core/byte_writer.h"
#include "core/transformer_spec.h"
#include "core/transformer_weights.h"
#include "reference/token_batch.h"
#include "training/training_config.h"
#include "training/training_counters.h"
#include "training/window_reduction.h"

namespace Halcyne::Core::Vestra {

struct TrainingStepLog {
    std::uint64_t step = 0;         // new value of steps
    std::uint64_t windowStart = 0;  // windowStartExamples of the window just applied
    std::uint64_t windowEnd = 0;    // examplesSeen at the step
    double loss = 0.0;              // the window's summed batch losses
    double gradientNorm = 0.0;      // of the averaged gradient, before clipping
    double clipScale = 1.0;         // 1.0 when not clipped
    double learningRate = 0.0;      // scheduled rate this step used
    std::uint64_t weightsFingerprint = 0;
};

// The batch a trainer trains on: with an ignore token, the lengths list is cut or filled out (with
// width) to one entry per row and every row ends at the token's first occurrence (anywhere in the
// row, also beyond its old length); without one, the batch unchanged. A batch whose tokens are not
// batch rows of a nonzero width is returned unchanged for the forward pass to refuse.
[[nodiscard]] TokenBatch applyIgnoreToken(const TokenBatch& batch, std::optional<std::uint32_t> ignoreToken);

// FNV-1a over every parameter in canonical order as element count then values, little-endian.
[[nodiscard]] std::uint64_t weightsFingerprint(const TransformerWeights& weights);

class TransformerTrainer {
  public:
    // Validates the configuration, probes the model with one forward pass and requires every weight
    // to be finite (their exceptions propagate); moments and accumulator start at zero.
    TransformerTrainer(TransformerSpec spec, TransformerWeights weights, TransformerTrainingConfig config);

    // Adds the gradient of the batch's mean loss over active targets to the window and returns the
    // summed loss.
    double accumulate(const TokenBatch& batch, const std::vector<std::uint32_t>& targets);
    // Averages the window, clips it, applies one AdamW update and closes the window.
    TrainingStepLog step();
    // Data parallelism: replaces the open window's sums (gradients, loss, batches, examples) with
    // their sums over the ranks of `reduction`, each of which accumulated its share of the window.
    void reduceWindow(WindowReduction& reduction);
    // The batch's summed loss under the current weights; changes nothing.
    [[nodiscard]] double evaluate(const TokenBatch& batch, const std::vector<std::uint32_t>& targets) const;

    // Next index of the seeded data order, in [0, datasetSize).
    std::uint64_t nextDataIndex(std::uint64_t datasetSize);
    [[nodiscard]] double scheduledLearningRate() const noexcept;

    // The VTT image of the whole training state, and its inverse; a refused image changes nothing.
    [[nodiscard]] Bytes checkpointBytes() const;
    void restoreCheckpoint(std::span<const std::uint8_t> bytes);
    // The image through a file, replaced durably and atomically. A file whose size is not this
    // trainer's image size is refused before it is read whole.
    void saveCheckpoint(const std::filesystem::path& path) const;
    void loadCheckpoint(const std::filesystem::path& path);

    [[nodiscard]] const TransformerSpec& spec() const noexcept { return spec_; }
    [[nodiscard]] const TransformerWeights& weights() const noexcept { return weights_; }
    [[nodiscard]] const TransformerTrainingConfig& config() const noexcept { return config_; }
    [[nodiscard]] const TransformerWeights& firstMoments() const noexcept { return firstMoments_; }
    [[nodiscard]] const TransformerWeights& secondMoments() const noexcept { return secondMoments_; }
    [[nodiscard]] const TransformerWeights& gradientAccumulator() const noexcept { return gradientAccumulator_; }
    [[nodiscard]] const TrainingCounters& counters() const noexcept { return counters_; }
    [[nodiscard]] std::uint64_t steps() const noexcept { return counters_.steps; }
    [[nodiscard]] std::uint64_t examplesSeen() const noexcept { return counters_.examplesSeen; }
    [[nodiscard]] std::uint64_t dataOrderState() const noexcept { return counters_.dataOrderState; }
    [[nodiscard]] std::uint64_t accumulatedBatches() const noexcept { return counters_.accumulatedBatches; }
    [[nodiscard]] double accumulatedLoss() const noexcept { return counters_.accumulatedLoss; }
    [[nodiscard]] std::uint64_t windowStartExamples() const noexcept { return counters_.windowStartExamples; }

  private:
    TransformerSpec spec_;
    TransformerWeights weights_;
    TransformerTrainingConfig config_;
    TransformerWeights firstMoments_;
    TransformerWeights secondMoments_;
    TransformerWeights gradientAccumulator_;
    TrainingCounters counters_;
};

}  // namespace Halcyne::Core::Vestra
