#include "training/batch_gradient.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "reference/cross_entropy.h"
#include "reference/forward.h"
#include "reference/tape.h"
#include "training/named_tensors.h"

namespace Halcyne::Core::Vestra {
namespace {

// A node and its adjoint.
constexpr std::uint64_t kTapeBytesPerNode = sizeof(TapeNode) + sizeof(double);

std::uint64_t fullRowsTapeNodes(const TransformerSpec& spec, std::uint64_t rows, std::uint64_t width) {
    TokenBatch shape;
    shape.batch = rows;
    shape.width = width;
    return tapeNodeCount(spec, shape);
}

// Rows [first, first + count) of a batch, with their targets.
TokenBatch rowsOf(const TokenBatch& batch, std::uint64_t first, std::uint64_t count) {
    const auto from = static_cast<std::ptrdiff_t>(first * batch.width);
    const auto to = static_cast<std::ptrdiff_t>((first + count) * batch.width);
    TokenBatch part;
    part.batch = count;
    part.width = batch.width;
    part.tokens.assign(batch.tokens.begin() + from, batch.tokens.begin() + to);
    if (!batch.lengths.empty()) {
        part.lengths.assign(batch.lengths.begin() + static_cast<std::ptrdiff_t>(first),
                            batch.lengths.begin() + static_cast<std::ptrdiff_t>(first + count));
    }
    if (!batch.lossMask.empty()) {
        part.lossMask.assign(batch.lossMask.begin() + from, batch.lossMask.begin() + to);
    }
    return part;
}

// A part's lookups (its input-embedding gradient) into the token embedding sums, as the sweep of
// one tape of the whole batch adds them: last, each with partial 1.0, from the last element back.
void addTokenLookups(const TokenBatch& part, const Tensor& inputEmbeddings, std::uint64_t model, Tensor& sums) {
    for (std::uint64_t b = part.batch; b-- > 0;) {
        const std::uint64_t length = part.lengths.empty() ? part.width : part.lengths[b];
        for (std::uint64_t s = length; s-- > 0;) {
            const std::uint64_t token = part.tokens[b * part.width + s];
            for (std::uint64_t d = model; d-- > 0;) {
                double& sum = sums.values[token * model + d];
                sum = inputEmbeddings.values[(b * part.width + s) * model + d] * 1.0 + sum;
            }
        }
    }
}

void requireFiniteLoss(double loss) {
    if (!std::isfinite(loss)) {
        throw std::domain_error("non-finite training loss");
    }
}

BatchGradient wholeBatchGradient(const TransformerSpec& spec, const TransformerWeights& weights,
                                 const TokenBatch& batch, const std::vector<std::uint32_t>& targets) {
    const TransformerForwardTape tape = gradientForward(spec, weights, batch);
    CrossEntropyResult loss = crossEntropy(tape.logits(), batch, targets);
    requireFiniteLoss(loss.loss);
    const double scale = 1.0 / static_cast<double>(countActiveTargets(batch));
    for (double& value : loss.logitsGradient.values) {
        value *= scale;
    }
    TransformerGradients gradients = transformerBackward(tape, loss.logitsGradient);
    return {loss.loss, std::move(static_cast<TransformerWeights&>(gradients))};
}

}  // namespace

std::uint64_t tapeRowsPerPart(const TransformerSpec& spec, std::uint64_t width, std::uint64_t tapeBytes) {
    const std::uint64_t fixed = fullRowsTapeNodes(spec, 0, width);  // the leaves, recorded by every part
    const std::uint64_t perRow = std::max<std::uint64_t>(fullRowsTapeNodes(spec, 1, width) - fixed, 1);
    const std::uint64_t nodes = tapeBytes / kTapeBytesPerNode;
    return nodes > fixed ? std::max<std::uint64_t>((nodes - fixed) / perRow, 1) : 1;
}

std::uint64_t batchTapeBytes(const TransformerSpec& spec, std::uint64_t rows, std::uint64_t width,
                             std::uint64_t tapeBytes) {
    const std::uint64_t part = std::min(rows, tapeRowsPerPart(spec, width, tapeBytes));
    return fullRowsTapeNodes(spec, part, width) * kTapeBytesPerNode;
}

BatchGradient batchGradient(const TransformerSpec& spec, const TransformerWeights& weights, const TokenBatch& batch,
                            const std::vector<std::uint32_t>& targets, std::uint64_t tapeBytes) {
    const std::uint64_t perPart = tapeRowsPerPart(spec, batch.width, tapeBytes);
    if (batch.batch <= perPart) {
        return wholeBatchGradient(spec, weights, batch, targets);
    }
    // Validated whole first, with the messages one tape would give, before any part is recorded.
    (void)transformerForward(spec, weights, batch, ForwardOptions{});
    const std::uint64_t vocabulary = spec.vocabulary;
    Tensor logits(Extents{batch.batch, batch.width, vocabulary});
    (void)crossEntropy(logits, batch, targets);
    const double scale = 1.0 / static_cast<double>(countActiveTargets(batch));

    // Parts of nearly equal size, so that each reuses the tape storage of the one before.
    const std::uint64_t parts = (batch.batch + perPart - 1) / perPart;
    const auto firstRow = [&](std::uint64_t p) { return batch.batch * p / parts; };
    BatchGradient result{0.0, zerosLike(weights)};
    std::vector<Tensor> lookups(parts);
    const std::uint64_t rowValues = batch.width * vocabulary;
    for (std::uint64_t p = parts; p-- > 0;) {
        const std::uint64_t first = firstRow(p);
        const TokenBatch part = rowsOf(batch, first, firstRow(p + 1) - first);
        const std::vector<std::uint32_t> partTargets(
            targets.begin() + static_cast<std::ptrdiff_t>(first * batch.width),
            targets.begin() + static_cast<std::ptrdiff_t>((first + part.batch) * batch.width));
        const TransformerForwardTape tape = gradientForward(spec, weights, part);
        // A position's gradient depends on its own logits alone, so a part's is a slice of the batch's.
        CrossEntropyResult loss = crossEntropy(tape.logits(), part, partTargets);
        for (double& value : loss.logitsGradient.values) {
            value *= scale;
        }
        std::copy(tape.logits().values.begin(), tape.logits().values.end(),
                  logits.values.begin() + static_cast<std::ptrdiff_t>(first * rowValues));
        lookups[p] = transformerBackwardPart(tape, loss.logitsGradient, result.gradients);
    }
    for (std::uint64_t p = parts; p-- > 0;) {
        const std::uint64_t first = firstRow(p);
        addTokenLookups(rowsOf(batch, first, firstRow(p + 1) - first), lookups[p], spec.model_dim,
                        result.gradients.token_embedding);
    }
    // The batch's loss is summed over its logits as one tape would hold them.
    result.loss = crossEntropy(logits, batch, targets).loss;
    requireFiniteLoss(result.loss);
    return result;
}

}  // namespace Halcyne::Core::Vestra
