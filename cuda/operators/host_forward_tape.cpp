#include "cuda/operators/host_forward_tape.h"

#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "reference/attention.h"
#include "reference/linear.h"
#include "reference/rms_norm.h"
#include "reference/rope.h"

namespace Halcyne::Core::Vestra {
namespace {

Tensor add(Tensor a, const Tensor& b) {
    addInPlace(a, b, "host tape add shape mismatch");
    return a;
}

// The tape's linear products keep the operator's shape checks and summation order but not its
// NaN/Inf check: a non-finite product, the logits included, is carried on as it is.
Tensor hostLinear(const Tensor& input, const Tensor& weight, std::uint64_t rows, std::uint64_t in, std::uint64_t out) {
    return linearProduct(input, weight, rows, in, out, true, [](double value, bool) { return value; });
}

Tensor activate(const Tensor& gate, const Tensor& up, FeedForwardKind kind) {
    Tensor out(up.shape);
    for (std::size_t i = 0; i < up.values.size(); ++i) {
        const double u = up.values[i];
        if (kind == FeedForwardKind::SwiGlu) {
            const double g = gate.values[i];
            out.values[i] = g / (std::exp(-g) + 1.0) * u;
        } else {
            out.values[i] = u * 0.5 * (std::erf(u * 0.7071067811865476) + 1.0);
        }
    }
    return out;
}

}  // namespace

void addInPlace(Tensor& sum, const Tensor& addend, const char* mismatchMessage) {
    if (sum.shape != addend.shape || sum.values.size() != addend.values.size()) {
        throw std::invalid_argument(mismatchMessage);
    }
    for (std::size_t i = 0; i < sum.values.size(); ++i) {
        sum.values[i] += addend.values[i];
    }
}

HostForwardTape hostForwardTape(const TransformerSpec& spec, const TransformerWeights& weights,
                                const TokenBatch& batch) {
    const std::uint64_t rows = batch.batch * batch.width;
    const std::uint64_t model = spec.model_dim;
    const std::uint64_t ffn = spec.ffn_dim;
    const std::uint64_t qd = std::uint64_t{spec.query_heads} * spec.head_dim;
    const std::uint64_t kd = std::uint64_t{spec.kv_heads} * spec.head_dim;
    const double epsilon = spec.normalization.epsilon;
    const bool swiGlu = spec.feed_forward == FeedForwardKind::SwiGlu;

    Tensor x(Extents{rows, model});
    for (std::uint64_t r = 0; r < rows; ++r) {
        const std::uint64_t token = batch.tokens[r];
        for (std::uint64_t d = 0; d < model; ++d) {
            x.values[r * model + d] = weights.token_embedding.values[token * model + d];
        }
    }

    HostForwardTape tape;
    for (const TransformerLayerWeights& layer : weights.layers) {
        HostLayerTape record;
        record.attentionNormed = rmsNorm(x, layer.attention_norm, rows, model, epsilon, true);
        record.query = hostLinear(record.attentionNormed, layer.query, rows, model, qd);
        record.key = hostLinear(record.attentionNormed, layer.key, rows, model, kd);
        record.value = hostLinear(record.attentionNormed, layer.value, rows, model, kd);
        applyRope(record.query, record.key, batch.batch, batch.width, spec.query_heads, spec.kv_heads, spec.head_dim,
                  spec.position.rope_base, 0, true, false);
        record.attention =
            groupedQueryAttentionOutput(record.query, record.key, record.value, batch.batch, batch.width,
                                        spec.query_heads, spec.kv_heads, spec.head_dim, batch.lengths, true);
        record.residual = add(x, hostLinear(record.attention, layer.attention_output, rows, qd, model));
        record.ffnNormed = rmsNorm(record.residual, layer.ffn_norm, rows, model, epsilon, true);
        if (swiGlu) {
            record.gate = hostLinear(record.ffnNormed, layer.ffn_gate, rows, model, ffn);
        }
        record.up = hostLinear(record.ffnNormed, layer.ffn_up, rows, model, ffn);
        record.activation = activate(record.gate, record.up, spec.feed_forward);
        Tensor next = add(record.residual, hostLinear(record.activation, layer.ffn_down, rows, ffn, model));
        record.input = std::move(x);
        x = std::move(next);
        tape.layers.push_back(std::move(record));
    }

    tape.finalNormed = rmsNorm(x, weights.final_norm, rows, model, epsilon, true);
    const Tensor& projection = spec.tied_embeddings ? weights.token_embedding : weights.output_embedding;
    tape.logits = hostLinear(tape.finalNormed, projection, rows, model, spec.vocabulary);
    tape.logits.shape = {batch.batch, batch.width, spec.vocabulary};
    tape.finalInput = std::move(x);
    return tape;
}

}  // namespace Halcyne::Core::Vestra
