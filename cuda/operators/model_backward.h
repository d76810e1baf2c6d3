// The loss and every weight gradient of a whole model for one token batch: the forward pass on the
// host (CPU operators, double precision) and every backward step on the device through the device
// operator functions, each a round trip of its own. Gradients are those of the summed loss.
#pragma once

#include <cstdint>
#include <vector>

#include "core/tensor.h"
#include "core/transformer_spec.h"
#include "core/transformer_weights.h"
#include "cuda/transformer_cuda_context.h"
#include "reference/token_batch.h"

namespace Halcyne::Core::Vestra {

struct CudaModelBackwardResult {
    double loss = 0.0;              // summed over the active positions
    TransformerWeights gradients;   // zeroGradientsLike(weights), filled
    Tensor inputEmbeddingGradient;  // [batch, width, model_dim]
};

// A zero tensor (precision flag true) shaped like every weight that holds values; an empty tensor
// for one that holds none.
[[nodiscard]] TransformerWeights zeroGradientsLike(const TransformerWeights& weights);

// Checked before any work, in this order: std::invalid_argument "CUDA model backward input
// mismatch" unless the batch has rows and a width within spec.context, tokens and targets hold
// batch * width entries and the weights have spec.layers layers; "CUDA embedding token exceeds
// vocabulary" for any token id (padding included) at or beyond the vocabulary; "token embedding has
// an invalid shape" unless it is [vocabulary, model_dim]. The spec is not validated as a whole (a
// port issue does not matter here). Everything else is refused where it is met: the CPU operators
// of the host forward (rmsNorm, RoPE, attention) with their argument errors and their NaN/Inf error,
// the linear products with their shape errors, then the device functions; the context is checked
// only by the first device function, after the host forward. The linear products and the
// activation of the host forward do not check values, so non-finite logits give a non-finite loss
// and gradients, not an error.
[[nodiscard]] CudaModelBackwardResult cudaModelBackward(const TransformerSpec& spec, const TransformerWeights& weights,
                                                        const TokenBatch& batch,
                                                        const std::vector<std::uint32_t>& targets,
                                                        const TransformerCudaContext& context);

}  // namespace Halcyne::Core::Vestra
