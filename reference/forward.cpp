#include "reference/forward.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include "reference/attention.h"
#include "reference/feed_forward.h"
#include "reference/linear.h"
#include "reference/rms_norm.h"
#include "reference/rope.h"

namespace Halcyne::Core::Vestra {
namespace {

std::uint64_t rowLength(const TokenBatch& batch, std::uint64_t row) {
    return batch.lengths.empty() ? batch.width : batch.lengths[row];
}

void requireLayerShapes(const TransformerSpec& spec, const TransformerLayerWeights& layer) {
    const std::uint64_t model = spec.model_dim;
    const std::uint64_t ffn = spec.ffn_dim;
    const std::uint64_t qd = std::uint64_t{spec.query_heads} * spec.head_dim;
    const std::uint64_t kd = std::uint64_t{spec.kv_heads} * spec.head_dim;
    requireShape(layer.attention_norm, {model}, "attention norm");
    requireShape(layer.query, {qd, model}, "query weight");
    requireShape(layer.key, {kd, model}, "key weight");
    requireShape(layer.value, {kd, model}, "value weight");
    requireShape(layer.attention_output, {model, qd}, "attention output weight");
    requireShape(layer.ffn_norm, {model}, "feed-forward norm");
    // Checked for every feed-forward kind, although GELU never reads it.
    requireShape(layer.ffn_gate, {ffn, model}, "feed-forward gate weight");
    requireShape(layer.ffn_up, {ffn, model}, "feed-forward up weight");
    requireShape(layer.ffn_down, {model, ffn}, "feed-forward down weight");
}

void addResidual(Tensor& hidden, const Tensor& update, bool doublePrecision) {
    for (std::size_t i = 0; i < hidden.values.size(); ++i) {
        hidden.values[i] = checkForwardValue(hidden.values[i] + update.values[i], doublePrecision);
    }
}

}  // namespace

double checkForwardValue(double value, bool doublePrecision) {
    if (!std::isfinite(value)) {
        throw std::domain_error("transformer forward produced NaN/Inf");
    }
    return doublePrecision ? value : static_cast<double>(static_cast<float>(value));
}

Tensor linearForward(const Tensor& input, const Tensor& weight, std::uint64_t rows, std::uint64_t in, std::uint64_t out,
                     bool doublePrecision) {
    return linearProduct(input, weight, rows, in, out, doublePrecision, checkForwardValue);
}

void validateForwardInputs(const TransformerSpec& spec, const TransformerWeights& weights, const TokenBatch& batch) {
    if (!validateTransformerSpec(spec).empty()) {
        throw std::invalid_argument("transformer forward received invalid spec");
    }
    if (batch.batch == 0 || batch.width == 0 || batch.width > spec.context) {
        throw std::invalid_argument("token batch dimensions are invalid");
    }
    // A batch count so large that batch * width would wrap cannot match any storage; it is refused
    // before the product is formed.
    if (batch.batch > batch.tokens.max_size() / batch.width || batch.tokens.size() != batch.batch * batch.width) {
        throw std::invalid_argument("token batch storage does not match shape");
    }
    if (!batch.lengths.empty() && batch.lengths.size() != batch.batch) {
        throw std::invalid_argument("token batch lengths do not match batch size");
    }
    for (std::uint64_t b = 0; b < batch.batch; ++b) {
        const std::uint64_t length = rowLength(batch, b);
        if (length > batch.width) {
            throw std::invalid_argument("sequence length exceeds batch width");
        }
        for (std::uint64_t s = 0; s < length; ++s) {
            if (batch.tokens[b * batch.width + s] >= spec.vocabulary) {
                throw std::out_of_range("token id exceeds vocabulary");
            }
        }
    }
    requireShape(weights.token_embedding, {spec.vocabulary, spec.model_dim}, "token embedding");
    requireShape(weights.final_norm, {spec.model_dim}, "final norm");
    if (weights.layers.size() != spec.layers) {
        throw std::invalid_argument("weight layer count mismatch");
    }
    if (!spec.tied_embeddings) {
        requireShape(weights.output_embedding, {spec.vocabulary, spec.model_dim}, "output embedding");
    }
}

Tensor transformerForward(const TransformerSpec& spec, const TransformerWeights& weights, const TokenBatch& batch,
                          const ForwardOptions& options) {
    validateForwardInputs(spec, weights, batch);

    const bool dp = options.doublePrecision;
    const auto observe = [&](std::string_view name, const Tensor& tensor) {
        if (options.observer) {
            options.observer(name, tensor);
        }
    };
    const std::uint64_t width = batch.width;
    const std::uint64_t rows = batch.batch * width;
    const std::uint64_t model = spec.model_dim;
    const std::uint64_t qd = std::uint64_t{spec.query_heads} * spec.head_dim;
    const std::uint64_t kd = std::uint64_t{spec.kv_heads} * spec.head_dim;
    const double epsilon = spec.normalization.epsilon;

    Tensor hidden(Extents{rows, model}, 0.0, dp);
    for (std::uint64_t b = 0; b < batch.batch; ++b) {
        const std::uint64_t length = rowLength(batch, b);
        for (std::uint64_t s = 0; s < length; ++s) {
            const std::uint64_t token = batch.tokens[b * width + s];
            for (std::uint64_t d = 0; d < model; ++d) {
                hidden.at({b * width + s, d}) = checkForwardValue(weights.token_embedding.at({token, d}), dp);
            }
        }
    }
    observe("embedding", hidden);

    for (std::uint64_t l = 0; l < spec.layers; ++l) {
        const TransformerLayerWeights& layer = weights.layers[l];
        const std::string prefix = "layer." + std::to_string(l);
        requireLayerShapes(spec, layer);

        Tensor x = rmsNorm(hidden, layer.attention_norm, rows, model, epsilon, dp);
        Tensor q = linearForward(x, layer.query, rows, model, qd, dp);
        Tensor k = linearForward(x, layer.key, rows, model, kd, dp);
        const Tensor v = linearForward(x, layer.value, rows, model, kd, dp);
        applyRope(q, k, batch.batch, width, spec.query_heads, spec.kv_heads, spec.head_dim, spec.position.rope_base, 0,
                  dp, false);
        observe(prefix + ".q", q);
        observe(prefix + ".k", k);
        observe(prefix + ".v", v);

        // Without an observer nothing reads the score and probability matrices.
        const AttentionResult attention =
            options.observer
                ? groupedQueryAttention(q, k, v, batch.batch, width, spec.query_heads, spec.kv_heads, spec.head_dim,
                                        batch.lengths, dp)
                : AttentionResult{Tensor(), Tensor(),
                                  groupedQueryAttentionOutput(q, k, v, batch.batch, width, spec.query_heads,
                                                              spec.kv_heads, spec.head_dim, batch.lengths, dp)};
        observe(prefix + ".scores", attention.scores);
        observe(prefix + ".probabilities", attention.probabilities);
        observe(prefix + ".attention", attention.output);

        addResidual(hidden, linearForward(attention.output, layer.attention_output, rows, qd, model, dp), dp);

        x = rmsNorm(hidden, layer.ffn_norm, rows, model, epsilon, dp);
        const Tensor mlp = feedForward(x, layer.ffn_gate, layer.ffn_up, layer.ffn_down, rows, model, spec.ffn_dim,
                                       spec.feed_forward, dp);
        observe(prefix + ".mlp", mlp);
        addResidual(hidden, mlp, dp);
    }

    const Tensor normalized = rmsNorm(hidden, weights.final_norm, rows, model, epsilon, dp);
    observe("final_norm", normalized);
    if (!options.computeLogits) {
        return Tensor();
    }

    const Tensor& projection = spec.tied_embeddings ? weights.token_embedding : weights.output_embedding;
    const std::uint64_t vocabulary = spec.vocabulary;
    Tensor logits(Extents{batch.batch, width, vocabulary}, 0.0, dp);
    for (std::uint64_t b = 0; b < batch.batch; ++b) {
        const std::uint64_t length = rowLength(batch, b);
        for (std::uint64_t s = 0; s < length; ++s) {
            for (std::uint64_t t = 0; t < vocabulary; ++t) {
                double sum = 0.0;
                for (std::uint64_t d = 0; d < model; ++d) {
                    sum += projection.at({t, d}) * normalized.at({b * width + s, d});
                }
                logits.at({b, s, t}) = checkForwardValue(sum, dp);
            }
        }
    }
    observe("logits", logits);
    return logits;
}

}  // namespace Halcyne::Core::Vestra
