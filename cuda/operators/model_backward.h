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

// Throws std::invalid_argument "CUDA model backward input mismatch" unless the spec is valid, the
// batch has rows and a width within the context, tokens and targets hold batch * width entries and
// the weights have the spec's layer count; "CUDA embedding token exceeds vocabulary" for any token
// id (padding included) at or beyond the vocabulary; both before any work. The CPU operators'
// errors (for example "attention length exceeds sequence") and the device functions' errors
// propagate; the context is checked only by the first device function, after the host forward.
[[nodiscard]] CudaModelBackwardResult cudaModelBackward(const TransformerSpec& spec, const TransformerWeights& weights,
                                                        const TokenBatch& batch,
                                                        const std::vector<std::uint32_t>& targets,
                                                        const TransformerCudaContext& context);

}  // namespace Halcyne::Core::Vestra
