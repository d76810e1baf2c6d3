#include "training/transformer_trainer.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <span>
#include <stdexcept>
#include <utility>

#include "core/hash.h"
#include "reference/cross_entropy.h"
#include "reference/forward.h"
#include "training/batch_gradient.h"
#include "training/checkpoint_file.h"
#include "training/named_tensors.h"
#include "training/training_schedule.h"
#include "training/vtt_checkpoint.h"

namespace Halcyne::Core::Vestra {
namespace {

bool allFinite(const std::vector<double>& values) {
    return std::all_of(values.begin(), values.end(), [](double value) { return std::isfinite(value); });
}

// The structure and shape checks of adding a batch gradient into the accumulator, made before
// anything is added so that a refusal leaves the accumulator whole.
void requireMatchingGradients(const std::vector<NamedTensor>& accumulator,
                              const std::vector<ConstNamedTensor>& gradients) {
    if (accumulator.size() != gradients.size()) {
        throw std::logic_error("gradient structure mismatch");
    }
    for (std::size_t i = 0; i < accumulator.size(); ++i) {
        if (accumulator[i].tensor.shape != gradients[i].tensor.shape ||
            accumulator[i].tensor.values.size() != gradients[i].tensor.values.size()) {
            throw std::logic_error("gradient shape mismatch");
        }
    }
}

}  // namespace

TokenBatch applyIgnoreToken(const TokenBatch& batch, std::optional<std::uint32_t> ignoreToken) {
    TokenBatch result = batch;
    // Rows can be scanned only when the tokens are exactly batch rows of width (the division also
    // keeps batch * width from overflowing). Any other batch is returned as it is, for the forward
    // pass to refuse with its own message. A lengths list of the wrong size is not such a batch: it
    // is cut or filled out to one entry per row like any other.
    const bool rowsReadable = result.width != 0 && result.tokens.size() % result.width == 0 &&
                              result.tokens.size() / result.width == result.batch;
    if (!ignoreToken || !rowsReadable) {
        return result;
    }
    result.lengths.resize(result.batch, result.width);
    for (std::uint64_t row = 0; row < result.batch; ++row) {
        const auto tokens = std::span(result.tokens).subspan(row * result.width, result.width);
        const auto found = std::find(tokens.begin(), tokens.end(), *ignoreToken);
        if (found != tokens.end()) {
            const auto position = static_cast<std::uint64_t>(found - tokens.begin());
            result.lengths[row] = std::min(position, result.lengths[row]);
        }
    }
    return result;
}

std::uint64_t weightsFingerprint(const TransformerWeights& weights) {
    std::uint64_t hash = vestraFnvStart;
    for (const ConstNamedTensor& entry : namedTensors(weights)) {
        hash = vestraFnv1a64Extend(hash, littleEndian64(entry.tensor.values.size()));
        for (const double value : entry.tensor.values) {
            hash = vestraFnv1a64Extend(hash, littleEndian64(std::bit_cast<std::uint64_t>(value)));
        }
    }
    return hash;
}

TransformerTrainer::TransformerTrainer(TransformerSpec spec, TransformerWeights weights,
                                       TransformerTrainingConfig config)
    : spec_(std::move(spec)), weights_(std::move(weights)), config_(std::move(config)) {
    validateTrainingConfig(config_);
    TokenBatch probe;
    probe.batch = 1;
    probe.width = 1;
    probe.tokens = {0};
    static_cast<void>(transformerForward(spec_, weights_, probe));
    requireFiniteWeights(weights_);
    firstMoments_ = zerosLike(weights_);
    secondMoments_ = zerosLike(weights_);
    gradientAccumulator_ = zerosLike(weights_);
    counters_.dataOrderState = dataOrderInitialState(config_.seed);
}

double TransformerTrainer::accumulate(const TokenBatch& batch, const std::vector<std::uint32_t>& targets) {
    const TokenBatch prepared = applyIgnoreToken(batch, config_.ignore_token);
    const BatchGradient batchResult = batchGradient(spec_, weights_, prepared, targets);
    const std::vector<ConstNamedTensor> batchGradients = namedTensors(batchResult.gradients);
    for (const ConstNamedTensor& entry : batchGradients) {
        if (!allFinite(entry.tensor.values)) {
            throw std::domain_error("non-finite training gradient");
        }
    }
    const std::vector<NamedTensor> sums = namedTensors(gradientAccumulator_);
    requireMatchingGradients(sums, batchGradients);

    if (counters_.accumulatedBatches == 0) {
        counters_.windowStartExamples = counters_.examplesSeen;
    }
    for (std::size_t i = 0; i < sums.size(); ++i) {
        std::vector<double>& into = sums[i].tensor.values;
        const std::vector<double>& from = batchGradients[i].tensor.values;
        for (std::size_t j = 0; j < into.size(); ++j) {
            into[j] += from[j];
        }
    }
    counters_.accumulatedBatches += 1;
    counters_.accumulatedLoss += batchResult.loss;
    counters_.examplesSeen += prepared.batch;
    return batchResult.loss;
}

void TransformerTrainer::reduceWindow(WindowReduction& reduction) {
    const std::vector<NamedTensor> sums = namedTensors(gradientAccumulator_);
    std::uint64_t count = 0;
    for (const NamedTensor& entry : sums) {
        count += entry.tensor.values.size();
    }
    PackedWindow window(count);
    std::span<double> packed = window.gradients();
    for (const NamedTensor& entry : sums) {
        std::copy(entry.tensor.values.begin(), entry.tensor.values.end(), packed.begin());
        packed = packed.subspan(entry.tensor.values.size());
    }
    TrainingCounters counters = counters_;
    window.reduce(reduction, counters);
    packed = window.gradients();
    for (const NamedTensor& entry : sums) {
        std::copy_n(packed.begin(), entry.tensor.values.size(), entry.tensor.values.begin());
        packed = packed.subspan(entry.tensor.values.size());
    }
    counters_ = counters;
}

TrainingStepLog TransformerTrainer::step() {
    if (counters_.accumulatedBatches == 0) {
        throw std::logic_error("optimizer step requires accumulated gradients");
    }
    const double inv = 1.0 / static_cast<double>(counters_.accumulatedBatches);
    const std::vector<ConstNamedTensor> sums = namedTensors(std::as_const(gradientAccumulator_));

    double sumOfSquares = 0.0;
    for (const ConstNamedTensor& entry : sums) {
        for (const double sum : entry.tensor.values) {
            const double g = sum * inv;
            if (!std::isfinite(g)) {
                throw std::domain_error("non-finite accumulated gradient");
            }
            sumOfSquares += g * g;
        }
    }
    if (!std::isfinite(sumOfSquares)) {
        throw std::domain_error("non-finite global gradient norm");
    }
    const double norm = std::sqrt(sumOfSquares);
    const double clipScale = norm <= config_.max_gradient_norm ? 1.0 : config_.max_gradient_norm / norm;

    const double lr = scheduledLearningRate();
    const std::uint64_t t = counters_.steps + 1;
    const double beta1 = config_.beta1;
    const double beta2 = config_.beta2;
    const double bc1 = 1.0 - std::pow(beta1, static_cast<double>(t));
    const double bc2 = 1.0 - std::pow(beta2, static_cast<double>(t));

    // The update runs on staging copies; the trainer takes them only once every value is finite.
    TransformerWeights weights = weights_;
    TransformerWeights first = firstMoments_;
    TransformerWeights second = secondMoments_;
    const std::vector<NamedTensor> w = namedTensors(weights);
    const std::vector<NamedTensor> m = namedTensors(first);
    const std::vector<NamedTensor> v = namedTensors(second);
    for (std::size_t i = 0; i < sums.size(); ++i) {
        const std::vector<double>& acc = sums[i].tensor.values;
        std::vector<double>& wi = w[i].tensor.values;
        std::vector<double>& mi = m[i].tensor.values;
        std::vector<double>& vi = v[i].tensor.values;
        const bool decays = w[i].decays;
        for (std::size_t j = 0; j < acc.size(); ++j) {
            const double g = (acc[j] * inv) * clipScale;
            mi[j] = beta1 * mi[j] + (1.0 - beta1) * g;
            vi[j] = beta2 * vi[j] + ((1.0 - beta2) * g) * g;
            const double decay = decays ? config_.weight_decay * wi[j] : 0.0;
            const double update = (mi[j] / bc1) / (std::sqrt(vi[j] / bc2) + config_.epsilon) + decay;
            wi[j] = wi[j] - lr * update;
            if (!std::isfinite(wi[j]) || !std::isfinite(mi[j]) || !std::isfinite(vi[j])) {
                throw std::domain_error("optimizer produced non-finite state");
            }
        }
    }

    weights_ = std::move(weights);
    firstMoments_ = std::move(first);
    secondMoments_ = std::move(second);
    counters_.steps = t;
    const TrainingStepLog log{counters_.steps,
                              counters_.windowStartExamples,
                              counters_.examplesSeen,
                              counters_.accumulatedLoss,
                              norm,
                              clipScale,
                              lr,
                              weightsFingerprint(weights_)};
    gradientAccumulator_ = zerosLike(weights_);
    counters_.accumulatedBatches = 0;
    counters_.accumulatedLoss = 0.0;
    counters_.windowStartExamples = counters_.examplesSeen;
    return log;
}

double TransformerTrainer::evaluate(const TokenBatch& batch, const std::vector<std::uint32_t>& targets) const {
    const TokenBatch prepared = applyIgnoreToken(batch, config_.ignore_token);
    const Tensor logits = transformerForward(spec_, weights_, prepared);
    return crossEntropy(logits, prepared, targets).loss;
}

std::uint64_t TransformerTrainer::nextDataIndex(std::uint64_t datasetSize) {
    return advanceDataOrder(counters_.dataOrderState, datasetSize);
}

double TransformerTrainer::scheduledLearningRate() const noexcept {
    return Vestra::scheduledLearningRate(config_, counters_.steps);
}

Bytes TransformerTrainer::checkpointBytes() const {
    return encodeVttCheckpoint(transformerSpecFingerprint(spec_), trainingConfigFingerprint(config_), counters_,
                               {weights_, firstMoments_, secondMoments_, gradientAccumulator_});
}

void TransformerTrainer::restoreCheckpoint(std::span<const std::uint8_t> bytes) {
    const auto payload = checkedVttPayload(bytes);
    TransformerTrainer staging = *this;
    decodeVttPayload(payload, transformerSpecFingerprint(spec_), trainingConfigFingerprint(config_), staging.counters_,
                     {staging.weights_, staging.firstMoments_, staging.secondMoments_, staging.gradientAccumulator_});
    *this = std::move(staging);
}

void TransformerTrainer::saveCheckpoint(const std::filesystem::path& path) const {
    writeCheckpointFile(path, checkpointBytes());
}

void TransformerTrainer::loadCheckpoint(const std::filesystem::path& path) {
    // The image size follows from the shapes alone; a file of any other size is refused unread.
    restoreCheckpoint(readCheckpointFile(path, vttCheckpointSize(weights_)));
}

}  // namespace Halcyne::Core::Vestra
