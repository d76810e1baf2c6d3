#include "reference/tape.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <utility>

#include "reference/rope.h"
#include "reference/tape_recorder.h"
#include "reference/tape_storage.h"

namespace Halcyne::Core::Vestra {
namespace {

// The backward sweep streams the whole node array from its end; it asks for the node this many
// places ahead (a few kilobytes), so that it does not wait on memory.
constexpr std::size_t kSweepPrefetchNodes = 64;

// Positions in TapeLayerLeaves: the member order of TransformerLayerWeights.
enum LayerLeaf : std::size_t { AttentionNorm, Query, Key, Value, AttentionOutput, FfnNorm, FfnGate, FfnUp, FfnDown };

std::uint64_t rowLength(const TokenBatch& batch, std::uint64_t row) {
    return batch.lengths.empty() ? batch.width : batch.lengths[row];
}

using TapeRecording::Recorder;
using TapeRecording::TapeVar;
using TapeRecording::VarList;
using TapeRecording::WeightVars;

// The leaves of one layer with the layer's weights, in the member order of TransformerLayerWeights.
using LayerVars = std::array<WeightVars, 9>;

VarList sequential(std::uint64_t first, std::uint64_t count) {
    VarList list(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        list[i] = {first + i, 0.0};
    }
    return list;
}

// input [rows, in] times the leaves of a weight [out, in], transposed: one chain of adds per output.
VarList tapeLinear(Recorder& tape, const VarList& input, std::uint64_t rows, std::uint64_t in, const WeightVars& weight,
                   std::uint64_t out) {
    VarList output(rows * out);
    for (std::uint64_t r = 0; r < rows; ++r) {
        const TapeVar* x = input.data() + r * in;
        for (std::uint64_t o = 0; o < out; ++o) {
            const std::uint64_t first = weight.leaves.first + o * in;
            const double* w = weight.values + o * in;
            output[r * out + o] = tape.dotProduct(
                x,
                [&](std::uint64_t k) {
                    return TapeVar{first + k, w[k]};
                },
                in);
        }
    }
    return output;
}

VarList tapeRmsNorm(Recorder& tape, const VarList& input, std::uint64_t rows, std::uint64_t dim,
                    const WeightVars& weight, double epsilon) {
    VarList output(rows * dim);
    for (std::uint64_t r = 0; r < rows; ++r) {
        const TapeVar* x = input.data() + r * dim;
        TapeVar sumOfSquares = tape.constant(0.0);
        for (std::uint64_t c = 0; c < dim; ++c) {
            const TapeVar square = tape.multiply(x[c], x[c]);
            sumOfSquares = tape.add(sumOfSquares, square);
        }
        const TapeVar eps = tape.constant(epsilon);
        const TapeVar count = tape.constant(static_cast<double>(dim));
        const TapeVar mean = tape.divide(sumOfSquares, count);
        const TapeVar shifted = tape.add(mean, eps);
        const TapeVar one = tape.constant(1.0);
        const TapeVar root = tape.sqrt(shifted);
        const TapeVar inverse = tape.divide(one, root);
        for (std::uint64_t c = 0; c < dim; ++c) {
            const TapeVar normalized = tape.multiply(x[c], inverse);
            output[r * dim + c] = tape.multiply(normalized, weight[c]);
        }
    }
    return output;
}

// Rotates [batch*width, heads*headDim] in place. The angles are constants of the same table the
// operator uses, so no gradient flows into them; padding positions are rotated too.
void tapeRope(Recorder& tape, VarList& tensor, std::uint64_t batch, std::uint64_t width, std::uint64_t heads,
              std::uint64_t headDim, const RopeTable& table) {
    for (std::uint64_t b = 0; b < batch; ++b) {
        for (std::uint64_t s = 0; s < width; ++s) {
            for (std::uint64_t h = 0; h < heads; ++h) {
                for (std::uint64_t d = 0; d < headDim; d += 2) {
                    const std::uint64_t at = (b * width + s) * heads * headDim + h * headDim + d;
                    const TapeVar c = tape.constant(ropeCos(table, s, d / 2));
                    const TapeVar n = tape.constant(ropeSin(table, s, d / 2));
                    const TapeVar x0 = tensor[at];
                    const TapeVar x1 = tensor[at + 1];
                    const TapeVar x0c = tape.multiply(x0, c);
                    const TapeVar x1n = tape.multiply(x1, n);
                    const TapeVar first = tape.subtract(x0c, x1n);
                    const TapeVar x0n = tape.multiply(x0, n);
                    const TapeVar x1c = tape.multiply(x1, c);
                    tensor[at] = first;
                    tensor[at + 1] = tape.add(x0n, x1c);
                }
            }
        }
    }
}

// Causal grouped-query attention over the batch's lengths. The row maximum is a plain constant:
// softmax does not depend on it, so no gradient has to flow through it.
VarList tapeAttention(Recorder& tape, const VarList& q, const VarList& k, const VarList& v, const TransformerSpec& spec,
                      const TokenBatch& batch) {
    const std::uint64_t width = batch.width;
    const std::uint64_t headDim = spec.head_dim;
    const std::uint64_t qd = std::uint64_t{spec.query_heads} * headDim;
    const std::uint64_t kd = std::uint64_t{spec.kv_heads} * headDim;
    const std::uint64_t group = spec.query_heads / spec.kv_heads;
    VarList output = sequential(tape.zeros(batch.batch * width * qd), batch.batch * width * qd);
    const TapeVar scale = tape.constant(1.0 / std::sqrt(static_cast<double>(headDim)));
    VarList scores;
    VarList exponentials;
    scores.reserve(width);
    exponentials.reserve(width);
    for (std::uint64_t b = 0; b < batch.batch; ++b) {
        const std::uint64_t length = rowLength(batch, b);
        for (std::uint64_t h = 0; h < spec.query_heads; ++h) {
            const std::uint64_t kv = h / group;
            for (std::uint64_t i = 0; i < length; ++i) {
                const TapeVar* query = q.data() + (b * width + i) * qd + h * headDim;
                TapeVar* out = output.data() + (b * width + i) * qd + h * headDim;
                scores.clear();
                exponentials.clear();
                double maximum = -std::numeric_limits<double>::infinity();
                for (std::uint64_t j = 0; j <= i; ++j) {
                    const TapeVar* keyRow = k.data() + (b * width + j) * kd + kv * headDim;
                    const TapeVar dot = tape.dotProduct(
                        query, [&](std::uint64_t d) { return keyRow[d]; }, headDim);
                    const TapeVar score = tape.multiply(dot, scale);
                    scores.push_back(score);
                    if (score.value > maximum) {
                        maximum = score.value;
                    }
                }
                TapeVar normalizer = tape.constant(0.0);
                for (std::uint64_t j = 0; j <= i; ++j) {
                    const TapeVar shift = tape.constant(maximum);
                    const TapeVar shifted = tape.subtract(scores[j], shift);
                    const TapeVar e = tape.exp(shifted);
                    exponentials.push_back(e);
                    normalizer = tape.add(normalizer, e);
                }
                for (std::uint64_t j = 0; j <= i; ++j) {
                    const TapeVar p = tape.divide(exponentials[j], normalizer);
                    tape.addScaled(out, p, v.data() + (b * width + j) * kd + kv * headDim, headDim);
                }
            }
        }
    }
    return output;
}

VarList tapeFeedForwardHidden(Recorder& tape, const VarList& x, const LayerVars& layer, const TransformerSpec& spec,
                              std::uint64_t rows) {
    const std::uint64_t model = spec.model_dim;
    const std::uint64_t ffn = spec.ffn_dim;
    const VarList up = tapeLinear(tape, x, rows, model, layer[FfnUp], ffn);
    VarList hidden = sequential(tape.zeros(rows * ffn), rows * ffn);
    if (spec.feed_forward == FeedForwardKind::SwiGlu) {
        const VarList gate = tapeLinear(tape, x, rows, model, layer[FfnGate], ffn);
        for (std::uint64_t i = 0; i < rows * ffn; ++i) {
            // SiLU(g) = g / (1 + exp(-g)), times the up projection.
            const TapeVar zero = tape.constant(0.0);
            const TapeVar negated = tape.subtract(zero, gate[i]);
            const TapeVar e = tape.exp(negated);
            const TapeVar one = tape.constant(1.0);
            const TapeVar denominator = tape.add(one, e);
            const TapeVar silu = tape.divide(gate[i], denominator);
            hidden[i] = tape.multiply(silu, up[i]);
        }
    } else {
        for (std::uint64_t i = 0; i < rows * ffn; ++i) {
            // Exact GELU: 0.5 * u * (1 + erf(u / sqrt(2))).
            const TapeVar invSqrt2 = tape.constant(0.7071067811865476);
            const TapeVar scaled = tape.multiply(up[i], invSqrt2);
            const TapeVar t = tape.erf(scaled);
            const TapeVar half = tape.constant(0.5);
            const TapeVar halfUp = tape.multiply(half, up[i]);
            const TapeVar one = tape.constant(1.0);
            const TapeVar onePlus = tape.add(one, t);
            hidden[i] = tape.multiply(halfUp, onePlus);
        }
    }
    return hidden;
}

void addResidual(Recorder& tape, VarList& hidden, const VarList& update) {
    for (std::size_t i = 0; i < hidden.size(); ++i) {
        hidden[i] = tape.add(hidden[i], update[i]);
    }
}

Tensor gatherGradient(const Tensor& weight, const TapeLeaves& leaves, const std::vector<double>& adjoint) {
    if (weight.values.empty()) {
        return Tensor();
    }
    Tensor gradient(weight.shape);
    for (std::uint64_t e = 0; e < leaves.count; ++e) {
        gradient.values[e] = adjoint[leaves.first + e];
    }
    return gradient;
}

// Zeroed adjoints from tape storage, given back when the backward ends: as zeroed once the
// backward has cleared every element it wrote, otherwise to be cleared by the next taker.
class AdjointLease {
  public:
    explicit AdjointLease(std::uint64_t count) : adjoint_(takeAdjointStorage(count)) {}
    AdjointLease(const AdjointLease&) = delete;
    AdjointLease& operator=(const AdjointLease&) = delete;
    ~AdjointLease() { keepAdjointStorage(std::move(adjoint_), zeroed_); }

    [[nodiscard]] std::vector<double>& adjoint() noexcept { return adjoint_; }
    void markZeroed() noexcept { zeroed_ = true; }

  private:
    std::vector<double> adjoint_;
    bool zeroed_ = false;
};

// One past the last node whose adjoint is read after the sweep: the leaves and the input embedding
// copies, all recorded before the first layer.
std::uint64_t gatheredEnd(const TransformerForwardTape::Data& data) {
    std::uint64_t end = 0;
    const auto include = [&](const TapeLeaves& leaves) { end = std::max(end, leaves.first + leaves.count); };
    include(data.tokenEmbeddingLeaves);
    include(data.finalNormLeaves);
    include(data.outputEmbeddingLeaves);
    for (const TapeLayerLeaves& layer : data.layerLeaves) {
        for (const TapeLeaves& leaves : layer) {
            include(leaves);
        }
    }
    for (const std::uint64_t node : data.inputEmbeddingNodes) {
        if (node != noTapeParent) {
            end = std::max(end, node + 1);
        }
    }
    return end;
}

// Nodes [first, last) from last to first. Every node is visited, zero adjoints included, so the sums
// are exactly the formula's. With clearUsed, a node's adjoint is set to 0 once it has been passed
// to its parents: nothing later reads it, as parents always come before their nodes.
template <bool clearUsed>
void sweep(const TapeNode* nodes, double* adjoint, std::uint64_t first, std::uint64_t last) {
    for (std::uint64_t n = last; n-- > first;) {
        const TapeNode& node = nodes[n];
#if defined(__GNUC__)
        if (n >= kSweepPrefetchNodes) {
            __builtin_prefetch(nodes + n - kSweepPrefetchNodes);
        }
#endif
        const double gradient = adjoint[n];
        if constexpr (clearUsed) {
            adjoint[n] = 0.0;
        }
        if (node.parent0 != noTapeParent) {
            adjoint[node.parent0] = gradient * node.partial0 + adjoint[node.parent0];
        }
        if (node.parent1 != noTapeParent) {
            adjoint[node.parent1] = gradient * node.partial1 + adjoint[node.parent1];
        }
    }
}

// Every weight tensor of a gradient set with its leaves on the tape (the output embedding only when
// it has leaves of its own).
template <class Action>
void forEachLeafRange(const TransformerForwardTape::Data& data, TransformerWeights& sums, Action&& action) {
    action(sums.token_embedding, data.tokenEmbeddingLeaves);
    action(sums.final_norm, data.finalNormLeaves);
    if (!data.spec.tied_embeddings) {
        action(sums.output_embedding, data.outputEmbeddingLeaves);
    }
    for (std::size_t l = 0; l < data.layerLeaves.size(); ++l) {
        TransformerLayerWeights& g = sums.layers[l];
        const TapeLayerLeaves& leaves = data.layerLeaves[l];
        const std::array<Tensor*, 9> tensors = {&g.attention_norm,   &g.query,    &g.key,      &g.value,
                                                &g.attention_output, &g.ffn_norm, &g.ffn_gate, &g.ffn_up,
                                                &g.ffn_down};
        for (std::size_t i = 0; i < tensors.size(); ++i) {
            action(*tensors[i], leaves[i]);
        }
    }
}

std::uint64_t bytesOf(const Tensor& tensor) {
    return (tensor.shape.size() + tensor.values.size()) * 8;
}

}  // namespace

const Tensor& TransformerForwardTape::logits() const {
    return data().logits;
}

const TransformerForwardTape::Data& TransformerForwardTape::data() const {
    if (!data_) {
        throw std::logic_error("empty transformer forward tape");
    }
    return *data_;
}

std::uint64_t TransformerForwardTape::nodeCount() const noexcept {
    return data_ ? data_->nodes.size() : 0;
}

std::uint64_t TransformerForwardTape::byteSize() const noexcept {
    if (!data_) {
        return 0;
    }
    const Data& d = *data_;
    std::uint64_t bytes = d.nodes.capacity() * sizeof(TapeNode) + bytesOf(d.logits) + d.logitNodes.size() * 8 +
                          d.inputEmbeddingNodes.size() * 8 + d.layerLeaves.size() * sizeof(TapeLayerLeaves) +
                          d.batch.tokens.size() * 4 + d.batch.lengths.size() * 8 + d.batch.lossMask.size();
    forEachWeightTensor(d.weights, [&](const WeightSlot&, const Tensor& tensor) { bytes += bytesOf(tensor); });
    return bytes;
}

std::uint64_t tapeNodeCount(const TransformerSpec& spec, const TokenBatch& batch) {
    const std::uint64_t vocabulary = spec.vocabulary;
    const std::uint64_t model = spec.model_dim;
    const std::uint64_t ffn = spec.ffn_dim;
    const std::uint64_t headDim = spec.head_dim;
    const std::uint64_t qd = std::uint64_t{spec.query_heads} * headDim;
    const std::uint64_t kd = std::uint64_t{spec.kv_heads} * headDim;
    const std::uint64_t rows = batch.batch * batch.width;
    std::uint64_t active = 0;
    std::uint64_t attentionRows = 0;  // per query head: sum over rows of (4 headDim + 7) len(len+1)/2 + len
    for (std::uint64_t b = 0; b < batch.batch; ++b) {
        const std::uint64_t length = rowLength(batch, b);
        active += length;
        attentionRows += (4 * headDim + 7) * (length * (length + 1) / 2) + length;
    }

    const std::uint64_t layerLeaves = 2 * model + 2 * qd * model + 2 * kd * model + 3 * ffn * model;
    std::uint64_t count = vocabulary * model * (spec.tied_embeddings ? 1 : 2) + model + spec.layers * layerLeaves;
    count += rows * model + active * model;  // residual zeros and embedding copies
    const std::uint64_t norm = rows * (4 * model + 8);
    std::uint64_t layer = 2 * norm;
    layer += rows * (qd + 2 * kd) * (1 + 2 * model);            // query, key and value projections
    layer += 4 * rows * (qd + kd);                              // RoPE: eight nodes per pair
    layer += rows * qd + 1 + spec.query_heads * attentionRows;  // attention
    layer += rows * model * (1 + 2 * qd) + rows * model;        // output projection and residual
    layer += rows * ffn * (1 + 2 * model) + rows * ffn;         // up projection and hidden zeros
    layer +=
        spec.feed_forward == FeedForwardKind::SwiGlu ? rows * ffn * (1 + 2 * model) + 7 * rows * ffn : 8 * rows * ffn;
    layer += rows * model * (1 + 2 * ffn) + rows * model;  // down projection and residual
    count += spec.layers * layer;
    count += norm + rows * vocabulary + active * vocabulary * 2 * model;  // final norm and logits
    return count;
}

TransformerForwardTape gradientForward(const TransformerSpec& spec, const TransformerWeights& weights,
                                       const TokenBatch& batch) {
    // The plain forward validates spec, batch and weights with its own messages before any node exists.
    (void)transformerForward(spec, weights, batch, ForwardOptions{});

    // The node array goes back to tape storage with the payload, also when recording fails.
    std::shared_ptr<TransformerForwardTape::Data> data(new TransformerForwardTape::Data(),
                                                       [](TransformerForwardTape::Data* released) {
                                                           keepNodeStorage(std::move(released->nodes));
                                                           delete released;
                                                       });
    data->spec = spec;
    data->batch = batch;
    data->weights = weights;
    data->nodes = takeNodeStorage(tapeNodeCount(spec, batch));
    Recorder tape(data->nodes, data->nodes.size() * sizeof(TapeNode) >= TapeRecording::kStreamingTapeBytes);

    const WeightVars tokenEmbedding = tape.leaves(weights.token_embedding);
    const WeightVars finalNorm = tape.leaves(weights.final_norm);
    const WeightVars outputEmbedding = spec.tied_embeddings ? tokenEmbedding : tape.leaves(weights.output_embedding);
    data->tokenEmbeddingLeaves = tokenEmbedding.leaves;
    data->finalNormLeaves = finalNorm.leaves;
    if (!spec.tied_embeddings) {
        data->outputEmbeddingLeaves = outputEmbedding.leaves;
    }
    std::vector<LayerVars> layers;
    layers.reserve(weights.layers.size());
    data->layerLeaves.reserve(weights.layers.size());
    for (const TransformerLayerWeights& layer : weights.layers) {
        layers.push_back(LayerVars{tape.leaves(layer.attention_norm), tape.leaves(layer.query), tape.leaves(layer.key),
                                   tape.leaves(layer.value), tape.leaves(layer.attention_output),
                                   tape.leaves(layer.ffn_norm), tape.leaves(layer.ffn_gate), tape.leaves(layer.ffn_up),
                                   tape.leaves(layer.ffn_down)});
        TapeLayerLeaves& leaves = data->layerLeaves.emplace_back();
        for (std::size_t i = 0; i < leaves.size(); ++i) {
            leaves[i] = layers.back()[i].leaves;
        }
    }

    const std::uint64_t width = batch.width;
    const std::uint64_t rows = batch.batch * width;
    const std::uint64_t model = spec.model_dim;
    const std::uint64_t qd = std::uint64_t{spec.query_heads} * spec.head_dim;
    const std::uint64_t kd = std::uint64_t{spec.kv_heads} * spec.head_dim;
    const double epsilon = spec.normalization.epsilon;

    VarList hidden = sequential(tape.zeros(rows * model), rows * model);
    data->inputEmbeddingNodes.assign(rows * model, noTapeParent);
    for (std::uint64_t b = 0; b < batch.batch; ++b) {
        const std::uint64_t length = rowLength(batch, b);
        for (std::uint64_t s = 0; s < length; ++s) {
            const std::uint64_t token = batch.tokens[b * width + s];
            for (std::uint64_t d = 0; d < model; ++d) {
                const std::uint64_t at = (b * width + s) * model + d;
                hidden[at] = tape.copy(tokenEmbedding[token * model + d]);
                data->inputEmbeddingNodes[at] = hidden[at].node;
            }
        }
    }

    const RopeTable rope = buildRopeTable(width, spec.head_dim, spec.position.rope_base, 0);
    for (const LayerVars& layer : layers) {
        VarList x = tapeRmsNorm(tape, hidden, rows, model, layer[AttentionNorm], epsilon);
        VarList q = tapeLinear(tape, x, rows, model, layer[Query], qd);
        VarList k = tapeLinear(tape, x, rows, model, layer[Key], kd);
        const VarList v = tapeLinear(tape, x, rows, model, layer[Value], kd);
        tapeRope(tape, q, batch.batch, width, spec.query_heads, spec.head_dim, rope);
        tapeRope(tape, k, batch.batch, width, spec.kv_heads, spec.head_dim, rope);
        const VarList attention = tapeAttention(tape, q, k, v, spec, batch);
        addResidual(tape, hidden, tapeLinear(tape, attention, rows, qd, layer[AttentionOutput], model));

        x = tapeRmsNorm(tape, hidden, rows, model, layer[FfnNorm], epsilon);
        const VarList activated = tapeFeedForwardHidden(tape, x, layer, spec, rows);
        addResidual(tape, hidden, tapeLinear(tape, activated, rows, spec.ffn_dim, layer[FfnDown], model));
    }

    const VarList normalized = tapeRmsNorm(tape, hidden, rows, model, finalNorm, epsilon);
    const std::uint64_t vocabulary = spec.vocabulary;
    data->logits = Tensor(Extents{batch.batch, width, vocabulary});
    data->logitNodes.resize(rows * vocabulary);
    for (std::uint64_t b = 0; b < batch.batch; ++b) {
        const std::uint64_t length = rowLength(batch, b);
        for (std::uint64_t s = 0; s < width; ++s) {
            const std::uint64_t row = b * width + s;
            for (std::uint64_t t = 0; t < vocabulary; ++t) {
                // Padding positions get their own zero node, which absorbs their logits gradient.
                TapeVar sum;
                if (s < length) {
                    const std::uint64_t first = outputEmbedding.leaves.first + t * model;
                    const double* w = outputEmbedding.values + t * model;
                    sum = tape.dotProduct(
                        normalized.data() + row * model,
                        [&](std::uint64_t d) {
                            return TapeVar{first + d, w[d]};
                        },
                        model);
                } else {
                    sum = tape.constant(0.0);
                }
                data->logitNodes[row * vocabulary + t] = sum.node;
                data->logits.values[row * vocabulary + t] = sum.value;
            }
        }
    }
    tape.finish();
    return TransformerForwardTape(std::move(data));
}

TransformerGradients transformerBackward(const TransformerForwardTape& tape, const Tensor& logitsGradient,
                                         const ForwardObserver& observer) {
    if (tape.empty()) {
        throw std::invalid_argument("backward requires a non-empty tape");
    }
    const TransformerForwardTape::Data& data = tape.data();
    if (logitsGradient.shape != data.logits.shape) {
        throw std::invalid_argument("logits gradient shape mismatch");
    }

    const std::vector<TapeNode>& nodes = data.nodes;
    AdjointLease lease(nodes.size());
    std::vector<double>& adjoint = lease.adjoint();
    for (std::size_t i = 0; i < data.logitNodes.size(); ++i) {
        adjoint[data.logitNodes[i]] += logitsGradient.values[i];
    }
    // The adjoints of the nodes that are not gathered are cleared as the sweep goes; those of the
    // gathered ones once they are read, which leaves the array zero for the next backward.
    const std::uint64_t gathered = std::min<std::uint64_t>(gatheredEnd(data), nodes.size());
    sweep<true>(nodes.data(), adjoint.data(), gathered, nodes.size());
    sweep<false>(nodes.data(), adjoint.data(), 0, gathered);

    TransformerGradients gradients;
    const TransformerWeights& weights = data.weights;
    gradients.token_embedding = gatherGradient(weights.token_embedding, data.tokenEmbeddingLeaves, adjoint);
    gradients.final_norm = gatherGradient(weights.final_norm, data.finalNormLeaves, adjoint);
    if (!data.spec.tied_embeddings) {
        gradients.output_embedding = gatherGradient(weights.output_embedding, data.outputEmbeddingLeaves, adjoint);
    }
    gradients.layers.resize(data.layerLeaves.size());
    for (std::size_t l = 0; l < data.layerLeaves.size(); ++l) {
        const TransformerLayerWeights& w = weights.layers[l];
        const TapeLayerLeaves& leaves = data.layerLeaves[l];
        TransformerLayerWeights& g = gradients.layers[l];
        g.attention_norm = gatherGradient(w.attention_norm, leaves[AttentionNorm], adjoint);
        g.query = gatherGradient(w.query, leaves[Query], adjoint);
        g.key = gatherGradient(w.key, leaves[Key], adjoint);
        g.value = gatherGradient(w.value, leaves[Value], adjoint);
        g.attention_output = gatherGradient(w.attention_output, leaves[AttentionOutput], adjoint);
        g.ffn_norm = gatherGradient(w.ffn_norm, leaves[FfnNorm], adjoint);
        g.ffn_gate = gatherGradient(w.ffn_gate, leaves[FfnGate], adjoint);
        g.ffn_up = gatherGradient(w.ffn_up, leaves[FfnUp], adjoint);
        g.ffn_down = gatherGradient(w.ffn_down, leaves[FfnDown], adjoint);
    }

    const TokenBatch& batch = data.batch;
    gradients.inputEmbeddings = Tensor(Extents{batch.batch, batch.width, data.spec.model_dim});
    for (std::size_t i = 0; i < data.inputEmbeddingNodes.size(); ++i) {
        if (data.inputEmbeddingNodes[i] != noTapeParent) {
            gradients.inputEmbeddings.values[i] = adjoint[data.inputEmbeddingNodes[i]];
        }
    }
    std::fill(adjoint.begin(), adjoint.begin() + static_cast<std::ptrdiff_t>(gathered), 0.0);
    lease.markZeroed();

    if (observer) {
        observer("token_embedding", gradients.token_embedding);
        observer("input_embeddings", gradients.inputEmbeddings);
    }
    return gradients;
}

Tensor transformerBackwardPart(const TransformerForwardTape& part, const Tensor& logitsGradient,
                               TransformerWeights& sums) {
    if (part.empty()) {
        throw std::invalid_argument("backward requires a non-empty tape");
    }
    const TransformerForwardTape::Data& data = part.data();
    if (logitsGradient.shape != data.logits.shape) {
        throw std::invalid_argument("logits gradient shape mismatch");
    }
    bool fits = sums.layers.size() == data.layerLeaves.size();
    if (fits) {
        forEachLeafRange(data, sums, [&](const Tensor& sum, const TapeLeaves& leaves) {
            fits = fits && sum.values.size() == leaves.count;
        });
    }
    if (!fits) {
        throw std::invalid_argument("gradient sums do not fit the tape");
    }

    const std::vector<TapeNode>& nodes = data.nodes;
    AdjointLease lease(nodes.size());
    std::vector<double>& adjoint = lease.adjoint();
    // The leaves start from the sums the later parts left, so the sweep goes on adding to them.
    forEachLeafRange(data, sums, [&](const Tensor& sum, const TapeLeaves& leaves) {
        std::copy(sum.values.begin(), sum.values.end(), adjoint.begin() + static_cast<std::ptrdiff_t>(leaves.first));
    });
    for (std::size_t i = 0; i < data.logitNodes.size(); ++i) {
        adjoint[data.logitNodes[i]] += logitsGradient.values[i];
    }
    // Below the gathered end lie only leaves, zero constants and the lookups, so stopping there
    // leaves out exactly the lookups' additions.
    const std::uint64_t gathered = std::min<std::uint64_t>(gatheredEnd(data), nodes.size());
    sweep<true>(nodes.data(), adjoint.data(), gathered, nodes.size());
    forEachLeafRange(data, sums, [&](Tensor& sum, const TapeLeaves& leaves) {
        const auto first = adjoint.begin() + static_cast<std::ptrdiff_t>(leaves.first);
        std::copy(first, first + static_cast<std::ptrdiff_t>(leaves.count), sum.values.begin());
    });

    const TokenBatch& batch = data.batch;
    Tensor lookups(Extents{batch.batch, batch.width, data.spec.model_dim});
    for (std::size_t i = 0; i < data.inputEmbeddingNodes.size(); ++i) {
        if (data.inputEmbeddingNodes[i] != noTapeParent) {
            lookups.values[i] = adjoint[data.inputEmbeddingNodes[i]];
        }
    }
    std::fill(adjoint.begin(), adjoint.begin() + static_cast<std::ptrdiff_t>(gathered), 0.0);
    lease.markZeroed();
    return lookups;
}

}  // namespace Halcyne::Core::Vestra
