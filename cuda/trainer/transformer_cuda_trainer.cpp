#include "cuda/trainer/transformer_cuda_trainer.h"

#include <cmath>
#include <stdexcept>
#include <utility>

#include "cuda/device_transfers.h"
#include "cuda/operators/model_backward.h"
#include "cuda/trainer/resident_accumulation.h"
#include "cuda/trainer/resident_forward.h"
#include "cuda/trainer/resident_step.h"
#include "reference/forward.h"
#include "training/training_schedule.h"

namespace Halcyne::Core::Vestra {
namespace {

bool isFinitePositive(double value) {
    return std::isfinite(value) && value > 0.0;
}

bool isFiniteUnitFraction(double value) {
    return std::isfinite(value) && value >= 0.0 && value < 1.0;
}

void validateConfiguration(const TransformerTrainingConfig& config) {
    const bool valid = isFinitePositive(config.learning_rate) && isFiniteUnitFraction(config.beta1) &&
                       isFiniteUnitFraction(config.beta2) && isFinitePositive(config.epsilon) &&
                       std::isfinite(config.weight_decay) && config.weight_decay >= 0.0 &&
                       isFinitePositive(config.max_gradient_norm) && !config.dataset_hash.empty();
    if (!valid) {
        throw std::invalid_argument("invalid CUDA trainer configuration");
    }
}

// The device kernels index the weight tables by the model's dimensions, so the model must be one the
// CPU forward pass accepts: valid dimensions and weights of their shapes. One token probes it on the host.
// Every weight must also be finite, or every step would be refused.
void requireTrainableModel(const TransformerSpec& spec, const TransformerWeights& weights) {
    TokenBatch probe;
    probe.batch = 1;
    probe.width = 1;
    probe.tokens = {0};
    validateForwardInputs(spec, weights, probe);
    requireFiniteWeights(weights);
}

}  // namespace

TransformerCudaTrainer::TransformerCudaTrainer(TransformerSpec spec, TransformerWeights weights,
                                               TransformerTrainingConfig config, TransformerCudaContext& context)
    : spec_(std::move(spec)), weights_(std::move(weights)), config_(std::move(config)), context_(&context) {
    validateConfiguration(config_);
    requireCompleteContext(context);
    requireTrainableModel(spec_, weights_);
    hostGradients_ = zeroGradientsLike(weights_);
    resident_ = initializeResidentState(weights_, context, nullptr, nullptr);
    indices_ = residentParameterIndices(weights_, spec_.tied_embeddings);
    counters_.dataOrderState = dataOrderInitialState(config_.seed);
}

std::uint64_t TransformerCudaTrainer::nextDataIndex(std::uint64_t datasetSize) {
    return advanceDataOrder(counters_.dataOrderState, datasetSize);
}

double TransformerCudaTrainer::accumulate(const TokenBatch& batch, const std::vector<std::uint32_t>& targets) {
    const TokenBatch prepared = applyIgnoreToken(batch, config_.ignore_token);
    const double loss = residentAccumulate(*resident_, spec_, indices_, prepared, targets);
    // The window opens only once a batch has made it in, so a refused batch changes nothing.
    if (counters_.accumulatedBatches == 0) {
        counters_.windowStartExamples = counters_.examplesSeen;
    }
    counters_.accumulatedBatches += 1;
    counters_.accumulatedLoss += loss;
    counters_.examplesSeen += prepared.batch;
    return loss;
}

void TransformerCudaTrainer::reduceWindow(WindowReduction& reduction) {
    if (reduction.sumsOnDevice()) {
        // The engine sums the gradients where they lie; only the window's totals cross to the host.
        TrainingCounters counters = counters_;
        PackedWindow(0).reduce(reduction, counters);
        reduction.deviceSumsBegin();
        for (ResidentParameter& parameter : resident_->parameters) {
            reduction.sumOnDevice(parameter.gradient.get(), parameter.count(), context_->stream);
        }
        reduction.deviceSumsEnd();
        synchronize(*context_, "synchronize reduced resident gradient");
        counters_ = counters;
        return;
    }
    std::uint64_t count = 0;
    for (const ResidentParameter& parameter : resident_->parameters) {
        count += parameter.count();
    }
    PackedWindow window(count);
    std::span<double> packed = window.gradients();
    for (const ResidentParameter& parameter : resident_->parameters) {
        download(*context_, packed.first(parameter.count()), parameter.gradient,
                 "download resident gradient for reduction");
        packed = packed.subspan(parameter.count());
    }
    synchronize(*context_, "synchronize resident gradient for reduction");
    TrainingCounters counters = counters_;
    window.reduce(reduction, counters);
    packed = window.gradients();
    for (ResidentParameter& parameter : resident_->parameters) {
        upload(*context_, parameter.gradient, packed.first(parameter.count()), "upload reduced resident gradient");
        packed = packed.subspan(parameter.count());
    }
    synchronize(*context_, "synchronize reduced resident gradient");
    counters_ = counters;
}

TrainingStepLog TransformerCudaTrainer::step() {
    if (counters_.accumulatedBatches == 0) {
        throw std::logic_error("CUDA optimizer step requires accumulated gradients");
    }
    const std::uint64_t t = counters_.steps + 1;
    const double learningRate = scheduledLearningRate(config_, counters_.steps);
    const double gradientScale = 1.0 / static_cast<double>(counters_.accumulatedBatches);
    const ResidentStepResult result =
        residentStep(*resident_, {learningRate, config_.beta1, config_.beta2, config_.epsilon, config_.weight_decay}, t,
                     config_.max_gradient_norm, gradientScale);

    counters_.steps = t;
    const TrainingStepLog log{t,
                              counters_.windowStartExamples,
                              counters_.examplesSeen,
                              counters_.accumulatedLoss,
                              result.gradientNorm,
                              result.clipScale,
                              learningRate,
                              0};
    weightsMaterialized_ = false;
    counters_.accumulatedBatches = 0;
    counters_.accumulatedLoss = 0.0;
    counters_.windowStartExamples = counters_.examplesSeen;
    return log;
}

double TransformerCudaTrainer::evaluate(const TokenBatch& batch, const std::vector<std::uint32_t>& targets) {
    return residentEvaluate(*resident_, spec_, indices_, applyIgnoreToken(batch, config_.ignore_token), targets);
}

const TransformerWeights& TransformerCudaTrainer::materializeWeights() {
    if (!weightsMaterialized_) {
        downloadResidentWeights(*resident_, weights_);
        weightsMaterialized_ = true;
    }
    return weights_;
}

}  // namespace Halcyne::Core::Vestra
