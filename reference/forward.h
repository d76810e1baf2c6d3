// The CPU reference forward pass of the decoder-only transformer: token embedding, pre-norm layers
// (RMSNorm, rotated grouped-query attention, RMSNorm, feed-forward, each added to the residual
// stream), final RMSNorm and the output projection. Padding positions stay zero throughout.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "core/tensor.h"
#include "core/transformer_spec.h"
#include "core/transformer_weights.h"
#include "reference/token_batch.h"

namespace Halcyne::Core::Vestra {

// Receives every intermediate activation under its diagnostic name: "embedding"; per layer
// "layer.<l>" + ".q", ".k", ".v", ".scores", ".probabilities", ".attention", ".mlp"; "final_norm";
// "logits".
using ForwardObserver = std::function<void(std::string_view name, const Tensor& tensor)>;

struct ForwardOptions {
    bool doublePrecision = true;
    ForwardObserver observer;
    bool computeLogits = true;  // false skips the output projection and returns an empty tensor
};

// The input checks the forward makes before computing anything: the spec, the batch's dimensions,
// storage, lengths and token ids, and the model-level weight shapes (layer shapes are checked as
// each layer is reached).
void validateForwardInputs(const TransformerSpec& spec, const TransformerWeights& weights, const TokenBatch& batch);

// Logits [batch, width, vocabulary] (0 at padding positions), or an empty tensor when
// options.computeLogits is false.
[[nodiscard]] Tensor transformerForward(const TransformerSpec& spec, const TransformerWeights& weights,
                                        const TokenBatch& batch, const ForwardOptions& options = {});

// checkOperatorValue with the forward-level message "transformer forward produced NaN/Inf".
[[nodiscard]] double checkForwardValue(double value, bool doublePrecision);

// linear() with every output checked by checkForwardValue; the forward's attention projections.
[[nodiscard]] Tensor linearForward(const Tensor& input, const Tensor& weight, std::uint64_t rows, std::uint64_t in,
                                   std::uint64_t out, bool doublePrecision);

}  // namespace Halcyne::Core::Vestra
