// TransformerCudaTrainer: the device twin of the CPU trainer. Every trainable tensor, its
// accumulated gradient and both AdamW moments live on the device for the trainer's life; training
// uploads only batches and reads back only scalars (the loss, the squared gradient norm, a
// validation flag), and counts every crossing. It equals the CPU trainer step by step (data order,
// window counters, schedule, clipping, step log) and writes and reads the same checkpoint bytes. A
// refused step or restore leaves it as it was, byte for byte in its checkpoint.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/byte_writer.h"
#include "core/transformer_spec.h"
#include "core/transformer_weights.h"
#include "cuda/operators/model_adamw.h"
#include "cuda/trainer/resident_state.h"
#include "cuda/transformer_cuda_context.h"
#include "reference/token_batch.h"
#include "training/training_config.h"
#include "training/training_counters.h"
#include "training/transformer_trainer.h"

namespace Halcyne::Core::Vestra {

class TransformerCudaTrainer {
  public:
    using ResidentState = Vestra::ResidentState;

    // Checks the configuration ("invalid CUDA trainer configuration", std::invalid_argument), the
    // context ("incomplete CUDA training context", TransformerCudaError kind Context) and that the
    // model is one the CPU trainer accepts (the CPU forward pass's messages), all before any device
    // work; then uploads every weight, clears gradients and moments, builds the mirrors and seeds
    // the data order as the CPU trainer does. The context must outlive the trainer.
    TransformerCudaTrainer(TransformerSpec spec, TransformerWeights weights, TransformerTrainingConfig config,
                           TransformerCudaContext& context);

    // Built in place and never copied or moved: the resident state points at the context.
    TransformerCudaTrainer(const TransformerCudaTrainer&) = delete;
    TransformerCudaTrainer& operator=(const TransformerCudaTrainer&) = delete;

    // Next index of the seeded data order in [0, datasetSize); std::invalid_argument "dataset size
    // must be positive" for 0.
    std::uint64_t nextDataIndex(std::uint64_t datasetSize);

    // Adds the gradient of the batch's mean loss over active targets to the resident gradients and
    // returns the summed loss (the batch goes through the configuration's ignore token first). A
    // refused batch changes nothing.
    double accumulate(const TokenBatch& batch, const std::vector<std::uint32_t>& targets);

    // Averages, clips and applies one AdamW update on the device; std::logic_error "CUDA optimizer
    // step requires accumulated gradients" without a window, std::domain_error for a non-finite
    // norm or update, each leaving the training state unchanged. weightsFingerprint is 0 in the log.
    TrainingStepLog step();
    // Data parallelism: replaces the open window's sums with their sums over the ranks of
    // `reduction`. The gradients cross to the host and back ("download resident gradient for
    // reduction", "upload reduced resident gradient"), so any engine serves; a failure changes nothing.
    void reduceWindow(WindowReduction& reduction);

    // The batch's summed loss under the device weights; changes nothing but the scalar counter.
    [[nodiscard]] double evaluate(const TokenBatch& batch, const std::vector<std::uint32_t>& targets);

    // The host weights, downloaded first when a step has changed the device weights since.
    const TransformerWeights& materializeWeights();

    // The VTT image of the whole training state, and its all-or-nothing inverse: a refused image
    // (std::invalid_argument, messages beginning "CUDA VTT" or "truncated CUDA VTT") or a device
    // failure while the new state is built leaves the trainer untouched.
    [[nodiscard]] Bytes checkpointBytes();
    void restoreCheckpoint(std::span<const std::uint8_t> bytes);

    [[nodiscard]] std::uint64_t tensorDownloads() const noexcept { return resident_->tensorDownloads; }
    [[nodiscard]] std::uint64_t scalarBoundaryCrossings() const noexcept { return resident_->scalarBoundaryCrossings; }
    [[nodiscard]] std::uint64_t bf16TensorCoreGemms() const noexcept { return resident_->bf16TensorCoreGemms; }

    [[nodiscard]] const TransformerSpec& spec() const noexcept { return spec_; }
    [[nodiscard]] const TransformerTrainingConfig& config() const noexcept { return config_; }
    [[nodiscard]] const TrainingCounters& counters() const noexcept { return counters_; }
    [[nodiscard]] std::uint64_t steps() const noexcept { return counters_.steps; }
    [[nodiscard]] std::uint64_t examplesSeen() const noexcept { return counters_.examplesSeen; }
    [[nodiscard]] std::uint64_t dataOrderState() const noexcept { return counters_.dataOrderState; }
    [[nodiscard]] std::uint64_t accumulatedBatches() const noexcept { return counters_.accumulatedBatches; }
    [[nodiscard]] double accumulatedLoss() const noexcept { return counters_.accumulatedLoss; }
    [[nodiscard]] std::uint64_t windowStartExamples() const noexcept { return counters_.windowStartExamples; }
    [[nodiscard]] bool weightsMaterialized() const noexcept { return weightsMaterialized_; }
    [[nodiscard]] std::uint64_t parameterCount() const noexcept { return resident_->parameters.size(); }

  private:
    TransformerSpec spec_;
    TransformerWeights weights_;        // equals the device weights while weightsMaterialized_
    TransformerWeights hostGradients_;  // zeros, or the gradients of the last restored image
    TransformerTrainingConfig config_;
    CudaModelAdamWState hostMoments_;  // empty, or the moments of the last restored image
    std::shared_ptr<ResidentState> resident_;
    TransformerCudaContext* context_;
    TrainingCounters counters_;
    bool weightsMaterialized_ = true;
    ResidentParameterIndices indices_;
};

}  // namespace Halcyne::Core::Vestra
