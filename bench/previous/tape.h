// The reference tape's recording and backward sweep as they were before this branch, kept only so
// that a benchmark can time them beside the current ones: each node push_back'ed (a capacity check
// per node) with ordinary stores, every operand value read back from the node array, and the
// adjoints cleared in full before each sweep. Node and adjoint arrays are the caller's, kept from
// one call to the next as tape storage keeps them for the trainer. The nodes and adjoints equal the
// current routines' bit for bit.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "core/tensor.h"
#include "core/transformer_spec.h"
#include "core/transformer_weights.h"
#include "reference/rope.h"
#include "reference/tape.h"
#include "reference/token_batch.h"

namespace Halcyne::Core::Vestra::Previous {

// What the recording produced; nodes and adjoints keep their storage from one call to the next.
struct Tape {
    std::vector<TapeNode> nodes;
    Tensor logits;
    std::vector<std::uint64_t> logitNodes;
    TapeLeaves tokenEmbeddingLeaves;
    TapeLeaves finalNormLeaves;
    TapeLeaves outputEmbeddingLeaves;
    std::vector<TapeLayerLeaves> layerLeaves;
    std::vector<std::uint64_t> inputEmbeddingNodes;
};

namespace Detail {

using NodeList = std::vector<std::uint64_t>;

// Positions in TapeLayerLeaves: the member order of TransformerLayerWeights.
enum LayerLeaf : std::size_t { AttentionNorm, Query, Key, Value, AttentionOutput, FfnNorm, FfnGate, FfnUp, FfnDown };

inline std::uint64_t rowLength(const TokenBatch& batch, std::uint64_t row) {
    return batch.lengths.empty() ? batch.width : batch.lengths[row];
}

// Appends nodes to the payload's one node array. Every primitive checks its value; the array is
// reserved to its final size up front, so recording never reallocates.
class Recorder {
  public:
    explicit Recorder(std::vector<TapeNode>& nodes) : nodes_(nodes) {}

    [[nodiscard]] double value(std::uint64_t node) const { return nodes_[node].value; }

    std::uint64_t constant(double c) { return push(c, noTapeParent, 0.0, noTapeParent, 0.0); }

    // A block of zero constants for a zero-initialised index list; no finite check is needed.
    std::uint64_t zeros(std::uint64_t count) {
        const std::uint64_t first = nodes_.size();
        nodes_.resize(nodes_.size() + count);
        return first;
    }

    // One leaf per element of a weight tensor, in element order.
    TapeLeaves leaves(const Tensor& tensor) {
        const TapeLeaves range{nodes_.size(), tensor.values.size()};
        for (const double element : tensor.values) {
            push(element, noTapeParent, 0.0, noTapeParent, 0.0);
        }
        return range;
    }

    std::uint64_t copy(std::uint64_t a) { return push(value(a), a, 1.0, noTapeParent, 0.0); }
    std::uint64_t add(std::uint64_t a, std::uint64_t b) { return push(value(a) + value(b), a, 1.0, b, 1.0); }
    std::uint64_t subtract(std::uint64_t a, std::uint64_t b) { return push(value(a) - value(b), a, 1.0, b, -1.0); }
    std::uint64_t multiply(std::uint64_t a, std::uint64_t b) {
        const double x = value(a);
        const double y = value(b);
        return push(x * y, a, y, b, x);
    }
    // The reciprocal is taken once and multiplied by, so the value can differ from a / b by rounding.
    std::uint64_t divide(std::uint64_t a, std::uint64_t b) {
        const double x = value(a);
        const double r = 1.0 / value(b);
        return push(x * r, a, r, b, -x * r * r);
    }
    std::uint64_t exp(std::uint64_t a) {
        const double e = std::exp(value(a));
        return push(e, a, e, noTapeParent, 0.0);
    }
    std::uint64_t erf(std::uint64_t a) {
        const double x = value(a);
        // 2 / sqrt(pi)
        return push(std::erf(x), a, std::exp(-x * x) * 1.1283791670955126, noTapeParent, 0.0);
    }
    std::uint64_t sqrt(std::uint64_t a) {
        const double root = std::sqrt(value(a));
        return push(root, a, 0.5 / root, noTapeParent, 0.0);
    }

  private:
    std::uint64_t push(double value, std::uint64_t parent0, double partial0, std::uint64_t parent1, double partial1) {
        if (!std::isfinite(value)) [[unlikely]] {
            throw std::domain_error("gradient forward produced NaN/Inf");
        }
        nodes_.push_back(TapeNode{value, parent0, parent1, partial0, partial1});
        return nodes_.size() - 1;
    }

    std::vector<TapeNode>& nodes_;
};

inline NodeList sequential(std::uint64_t first, std::uint64_t count) {
    NodeList list(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        list[i] = first + i;
    }
    return list;
}

// input [rows, in] times the leaves of a weight [out, in], transposed: one chain of adds per output.
inline NodeList tapeLinear(Recorder& tape, const NodeList& input, std::uint64_t rows, std::uint64_t in,
                           const TapeLeaves& weight, std::uint64_t out) {
    NodeList output(rows * out);
    for (std::uint64_t r = 0; r < rows; ++r) {
        for (std::uint64_t o = 0; o < out; ++o) {
            std::uint64_t sum = tape.constant(0.0);
            for (std::uint64_t k = 0; k < in; ++k) {
                const std::uint64_t product = tape.multiply(input[r * in + k], weight.first + o * in + k);
                sum = tape.add(sum, product);
            }
            output[r * out + o] = sum;
        }
    }
    return output;
}

inline NodeList tapeRmsNorm(Recorder& tape, const NodeList& input, std::uint64_t rows, std::uint64_t dim,
                            const TapeLeaves& weight, double epsilon) {
    NodeList output(rows * dim);
    for (std::uint64_t r = 0; r < rows; ++r) {
        const std::uint64_t* x = input.data() + r * dim;
        std::uint64_t sumOfSquares = tape.constant(0.0);
        for (std::uint64_t c = 0; c < dim; ++c) {
            const std::uint64_t square = tape.multiply(x[c], x[c]);
            sumOfSquares = tape.add(sumOfSquares, square);
        }
        const std::uint64_t eps = tape.constant(epsilon);
        const std::uint64_t count = tape.constant(static_cast<double>(dim));
        const std::uint64_t mean = tape.divide(sumOfSquares, count);
        const std::uint64_t shifted = tape.add(mean, eps);
        const std::uint64_t one = tape.constant(1.0);
        const std::uint64_t root = tape.sqrt(shifted);
        const std::uint64_t inverse = tape.divide(one, root);
        for (std::uint64_t c = 0; c < dim; ++c) {
            const std::uint64_t normalized = tape.multiply(x[c], inverse);
            output[r * dim + c] = tape.multiply(normalized, weight.first + c);
        }
    }
    return output;
}

// Rotates [batch*width, heads*headDim] in place. The angles are constants of the same table the
// operator uses, so no gradient flows into them; padding positions are rotated too.
inline void tapeRope(Recorder& tape, NodeList& tensor, std::uint64_t batch, std::uint64_t width, std::uint64_t heads,
                     std::uint64_t headDim, const RopeTable& table) {
    for (std::uint64_t b = 0; b < batch; ++b) {
        for (std::uint64_t s = 0; s < width; ++s) {
            for (std::uint64_t h = 0; h < heads; ++h) {
                for (std::uint64_t d = 0; d < headDim; d += 2) {
                    const std::uint64_t at = (b * width + s) * heads * headDim + h * headDim + d;
                    const std::uint64_t c = tape.constant(ropeCos(table, s, d / 2));
                    const std::uint64_t n = tape.constant(ropeSin(table, s, d / 2));
                    const std::uint64_t x0 = tensor[at];
                    const std::uint64_t x1 = tensor[at + 1];
                    const std::uint64_t x0c = tape.multiply(x0, c);
                    const std::uint64_t x1n = tape.multiply(x1, n);
                    const std::uint64_t first = tape.subtract(x0c, x1n);
                    const std::uint64_t x0n = tape.multiply(x0, n);
                    const std::uint64_t x1c = tape.multiply(x1, c);
                    tensor[at] = first;
                    tensor[at + 1] = tape.add(x0n, x1c);
                }
            }
        }
    }
}

// Causal grouped-query attention over the batch's lengths. The row maximum is a plain constant:
// softmax does not depend on it, so no gradient has to flow through it.
inline NodeList tapeAttention(Recorder& tape, const NodeList& q, const NodeList& k, const NodeList& v,
                              const TransformerSpec& spec, const TokenBatch& batch) {
    const std::uint64_t width = batch.width;
    const std::uint64_t headDim = spec.head_dim;
    const std::uint64_t qd = std::uint64_t{spec.query_heads} * headDim;
    const std::uint64_t kd = std::uint64_t{spec.kv_heads} * headDim;
    const std::uint64_t group = spec.query_heads / spec.kv_heads;
    NodeList output = sequential(tape.zeros(batch.batch * width * qd), batch.batch * width * qd);
    const std::uint64_t scale = tape.constant(1.0 / std::sqrt(static_cast<double>(headDim)));
    NodeList scores;
    NodeList exponentials;
    scores.reserve(width);
    exponentials.reserve(width);
    for (std::uint64_t b = 0; b < batch.batch; ++b) {
        const std::uint64_t length = rowLength(batch, b);
        for (std::uint64_t h = 0; h < spec.query_heads; ++h) {
            const std::uint64_t kv = h / group;
            for (std::uint64_t i = 0; i < length; ++i) {
                const std::uint64_t* query = q.data() + (b * width + i) * qd + h * headDim;
                std::uint64_t* out = output.data() + (b * width + i) * qd + h * headDim;
                scores.clear();
                exponentials.clear();
                double maximum = -std::numeric_limits<double>::infinity();
                for (std::uint64_t j = 0; j <= i; ++j) {
                    const std::uint64_t* keyRow = k.data() + (b * width + j) * kd + kv * headDim;
                    std::uint64_t dot = tape.constant(0.0);
                    for (std::uint64_t d = 0; d < headDim; ++d) {
                        const std::uint64_t product = tape.multiply(query[d], keyRow[d]);
                        dot = tape.add(dot, product);
                    }
                    const std::uint64_t score = tape.multiply(dot, scale);
                    scores.push_back(score);
                    if (tape.value(score) > maximum) {
                        maximum = tape.value(score);
                    }
                }
                std::uint64_t normalizer = tape.constant(0.0);
                for (std::uint64_t j = 0; j <= i; ++j) {
                    const std::uint64_t shift = tape.constant(maximum);
                    const std::uint64_t shifted = tape.subtract(scores[j], shift);
                    const std::uint64_t e = tape.exp(shifted);
                    exponentials.push_back(e);
                    normalizer = tape.add(normalizer, e);
                }
                for (std::uint64_t j = 0; j <= i; ++j) {
                    const std::uint64_t p = tape.divide(exponentials[j], normalizer);
                    const std::uint64_t* valueRow = v.data() + (b * width + j) * kd + kv * headDim;
                    for (std::uint64_t d = 0; d < headDim; ++d) {
                        const std::uint64_t product = tape.multiply(p, valueRow[d]);
                        out[d] = tape.add(out[d], product);
                    }
                }
            }
        }
    }
    return output;
}

inline NodeList tapeFeedForwardHidden(Recorder& tape, const NodeList& x, const TapeLayerLeaves& leaves,
                                      const TransformerSpec& spec, std::uint64_t rows) {
    const std::uint64_t model = spec.model_dim;
    const std::uint64_t ffn = spec.ffn_dim;
    const NodeList up = tapeLinear(tape, x, rows, model, leaves[FfnUp], ffn);
    NodeList hidden = sequential(tape.zeros(rows * ffn), rows * ffn);
    if (spec.feed_forward == FeedForwardKind::SwiGlu) {
        const NodeList gate = tapeLinear(tape, x, rows, model, leaves[FfnGate], ffn);
        for (std::uint64_t i = 0; i < rows * ffn; ++i) {
            // SiLU(g) = g / (1 + exp(-g)), times the up projection.
            const std::uint64_t zero = tape.constant(0.0);
            const std::uint64_t negated = tape.subtract(zero, gate[i]);
            const std::uint64_t e = tape.exp(negated);
            const std::uint64_t one = tape.constant(1.0);
            const std::uint64_t denominator = tape.add(one, e);
            const std::uint64_t silu = tape.divide(gate[i], denominator);
            hidden[i] = tape.multiply(silu, up[i]);
        }
    } else {
        for (std::uint64_t i = 0; i < rows * ffn; ++i) {
            // Exact GELU: 0.5 * u * (1 + erf(u / sqrt(2))).
            const std::uint64_t invSqrt2 = tape.constant(0.7071067811865476);
            const std::uint64_t scaled = tape.multiply(up[i], invSqrt2);
            const std::uint64_t t = tape.erf(scaled);
            const std::uint64_t half = tape.constant(0.5);
            const std::uint64_t halfUp = tape.multiply(half, up[i]);
            const std::uint64_t one = tape.constant(1.0);
            const std::uint64_t onePlus = tape.add(one, t);
            hidden[i] = tape.multiply(halfUp, onePlus);
        }
    }
    return hidden;
}

inline void addResidual(Recorder& tape, NodeList& hidden, const NodeList& update) {
    for (std::size_t i = 0; i < hidden.size(); ++i) {
        hidden[i] = tape.add(hidden[i], update[i]);
    }
}

}  // namespace Detail

// Records into data (spec, weights and batch valid for the forward).
inline void gradientForward(const TransformerSpec& spec, const TransformerWeights& weights, const TokenBatch& batch,
                            Tape& data) {
    using namespace Detail;
    data.layerLeaves.clear();
    data.nodes.clear();
    data.nodes.reserve(tapeNodeCount(spec, batch));
    Recorder tape(data.nodes);

    data.tokenEmbeddingLeaves = tape.leaves(weights.token_embedding);
    data.finalNormLeaves = tape.leaves(weights.final_norm);
    if (!spec.tied_embeddings) {
        data.outputEmbeddingLeaves = tape.leaves(weights.output_embedding);
    }
    data.layerLeaves.reserve(weights.layers.size());
    for (const TransformerLayerWeights& layer : weights.layers) {
        data.layerLeaves.push_back(
            TapeLayerLeaves{tape.leaves(layer.attention_norm), tape.leaves(layer.query), tape.leaves(layer.key),
                            tape.leaves(layer.value), tape.leaves(layer.attention_output), tape.leaves(layer.ffn_norm),
                            tape.leaves(layer.ffn_gate), tape.leaves(layer.ffn_up), tape.leaves(layer.ffn_down)});
    }

    const std::uint64_t width = batch.width;
    const std::uint64_t rows = batch.batch * width;
    const std::uint64_t model = spec.model_dim;
    const std::uint64_t qd = std::uint64_t{spec.query_heads} * spec.head_dim;
    const std::uint64_t kd = std::uint64_t{spec.kv_heads} * spec.head_dim;
    const double epsilon = spec.normalization.epsilon;

    NodeList hidden = sequential(tape.zeros(rows * model), rows * model);
    data.inputEmbeddingNodes.assign(rows * model, noTapeParent);
    for (std::uint64_t b = 0; b < batch.batch; ++b) {
        const std::uint64_t length = rowLength(batch, b);
        for (std::uint64_t s = 0; s < length; ++s) {
            const std::uint64_t token = batch.tokens[b * width + s];
            for (std::uint64_t d = 0; d < model; ++d) {
                const std::uint64_t at = (b * width + s) * model + d;
                hidden[at] = tape.copy(data.tokenEmbeddingLeaves.first + token * model + d);
                data.inputEmbeddingNodes[at] = hidden[at];
            }
        }
    }

    const RopeTable rope = buildRopeTable(width, spec.head_dim, spec.position.rope_base, 0);
    for (const TapeLayerLeaves& leaves : data.layerLeaves) {
        NodeList x = tapeRmsNorm(tape, hidden, rows, model, leaves[AttentionNorm], epsilon);
        NodeList q = tapeLinear(tape, x, rows, model, leaves[Query], qd);
        NodeList k = tapeLinear(tape, x, rows, model, leaves[Key], kd);
        const NodeList v = tapeLinear(tape, x, rows, model, leaves[Value], kd);
        tapeRope(tape, q, batch.batch, width, spec.query_heads, spec.head_dim, rope);
        tapeRope(tape, k, batch.batch, width, spec.kv_heads, spec.head_dim, rope);
        const NodeList attention = tapeAttention(tape, q, k, v, spec, batch);
        addResidual(tape, hidden, tapeLinear(tape, attention, rows, qd, leaves[AttentionOutput], model));

        x = tapeRmsNorm(tape, hidden, rows, model, leaves[FfnNorm], epsilon);
        const NodeList activated = tapeFeedForwardHidden(tape, x, leaves, spec, rows);
        addResidual(tape, hidden, tapeLinear(tape, activated, rows, spec.ffn_dim, leaves[FfnDown], model));
    }

    const NodeList normalized = tapeRmsNorm(tape, hidden, rows, model, data.finalNormLeaves, epsilon);
    const TapeLeaves& projection = spec.tied_embeddings ? data.tokenEmbeddingLeaves : data.outputEmbeddingLeaves;
    const std::uint64_t vocabulary = spec.vocabulary;
    data.logits = Tensor(Extents{batch.batch, width, vocabulary});
    data.logitNodes.resize(rows * vocabulary);
    for (std::uint64_t b = 0; b < batch.batch; ++b) {
        const std::uint64_t length = rowLength(batch, b);
        for (std::uint64_t s = 0; s < width; ++s) {
            const std::uint64_t row = b * width + s;
            for (std::uint64_t t = 0; t < vocabulary; ++t) {
                // Padding positions get their own zero node, which absorbs their logits gradient.
                std::uint64_t sum = tape.constant(0.0);
                if (s < length) {
                    for (std::uint64_t d = 0; d < model; ++d) {
                        const std::uint64_t product =
                            tape.multiply(normalized[row * model + d], projection.first + t * model + d);
                        sum = tape.add(sum, product);
                    }
                }
                data.logitNodes[row * vocabulary + t] = sum;
                data.logits.values[row * vocabulary + t] = tape.value(sum);
            }
        }
    }
}

// The sweep over a recorded tape into adjoint (one per node).
inline void transformerBackward(const Tape& tape, const Tensor& logitsGradient, std::vector<double>& adjoint) {
    const std::vector<TapeNode>& nodes = tape.nodes;
    adjoint.assign(nodes.size(), 0.0);
    for (std::size_t i = 0; i < tape.logitNodes.size(); ++i) {
        adjoint[tape.logitNodes[i]] += logitsGradient.values[i];
    }
    // Every node is visited, zero adjoints included, so the sums are exactly the formula's.
    for (std::size_t n = nodes.size(); n-- > 0;) {
        const TapeNode& node = nodes[n];
#if defined(__GNUC__)
        if (n >= 64) {
            __builtin_prefetch(&nodes[n - 64]);
        }
#endif
        if (node.parent0 != noTapeParent) {
            adjoint[node.parent0] = adjoint[n] * node.partial0 + adjoint[node.parent0];
        }
        if (node.parent1 != noTapeParent) {
            adjoint[node.parent1] = adjoint[n] * node.partial1 + adjoint[node.parent1];
        }
    }
}

}  // namespace Halcyne::Core::Vestra::Previous
