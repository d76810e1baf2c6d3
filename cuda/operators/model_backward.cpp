#include "cuda/operators/model_backward.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "cuda/operators/activation_backward.h"
#include "cuda/operators/attention_backward.h"
#include "cuda/operators/cross_entropy.h"
#include "cuda/operators/embedding_backward.h"
#include "cuda/operators/host_forward_tape.h"
#include "cuda/operators/linear_backward.h"
#include "cuda/operators/rms_norm_backward.h"
#include "cuda/operators/rope_backward.h"
#include "training/named_tensors.h"

namespace Halcyne::Core::Vestra {
namespace {

void addInto(Tensor& sum, const Tensor& addend) {
    addInPlace(sum, addend, "gradient add shape mismatch");
}

// The spec itself is not validated: its ports play no part here, and a number the operators cannot
// work with is refused by the operator that meets it.
bool inputsMatch(const TransformerSpec& spec, const TransformerWeights& weights, const TokenBatch& batch,
                 const std::vector<std::uint32_t>& targets) {
    if (batch.batch == 0 || batch.width == 0 || batch.width > spec.context ||
        batch.batch > batch.tokens.max_size() / batch.width) {
        return false;
    }
    const std::uint64_t rows = batch.batch * batch.width;
    return batch.tokens.size() == rows && targets.size() == rows && weights.layers.size() == spec.layers;
}

// One layer from the gradient of its output to the gradient of its input; the layer's weight
// gradients land in `gradients`.
Tensor layerBackward(const TransformerSpec& spec, const TokenBatch& batch, const TransformerLayerWeights& layer,
                     const HostLayerTape& tape, Tensor dx, TransformerLayerWeights& gradients,
                     const TransformerCudaContext& context) {
    const double epsilon = spec.normalization.epsilon;
    const double ropeBase = spec.position.rope_base;

    LinearGradients down = cudaLinearBackward(tape.activation, layer.ffn_down, dx, context);
    gradients.ffn_down = std::move(down.weightGradient);
    ActivationGradients activation =
        cudaActivationBackward(tape.gate, tape.up, down.inputGradient, spec.feed_forward, context);
    LinearGradients up = cudaLinearBackward(tape.ffnNormed, layer.ffn_up, activation.upGradient, context);
    gradients.ffn_up = std::move(up.weightGradient);
    Tensor dh2 = std::move(up.inputGradient);
    if (spec.feed_forward == FeedForwardKind::SwiGlu) {
        LinearGradients gate = cudaLinearBackward(tape.ffnNormed, layer.ffn_gate, activation.gateGradient, context);
        gradients.ffn_gate = std::move(gate.weightGradient);
        addInto(dh2, gate.inputGradient);
    }
    RmsNormGradients ffnNorm = cudaRmsNormBackward(tape.residual, layer.ffn_norm, dh2, epsilon, context);
    gradients.ffn_norm = std::move(ffnNorm.weightGradient);
    Tensor dx2 = std::move(dx);
    addInto(dx2, ffnNorm.inputGradient);

    LinearGradients output = cudaLinearBackward(tape.attention, layer.attention_output, dx2, context);
    gradients.attention_output = std::move(output.weightGradient);
    const AttentionGradients attention =
        cudaAttentionBackward(tape.query, tape.key, tape.value, output.inputGradient, batch.batch, batch.width,
                              spec.query_heads, spec.kv_heads, spec.head_dim, batch.lengths, context);
    const Tensor dq =
        cudaRopeBackward(attention.query, batch.batch, batch.width, spec.query_heads, spec.head_dim, ropeBase, context);
    const Tensor dk =
        cudaRopeBackward(attention.key, batch.batch, batch.width, spec.kv_heads, spec.head_dim, ropeBase, context);
    LinearGradients query = cudaLinearBackward(tape.attentionNormed, layer.query, dq, context);
    LinearGradients key = cudaLinearBackward(tape.attentionNormed, layer.key, dk, context);
    LinearGradients value = cudaLinearBackward(tape.attentionNormed, layer.value, attention.value, context);
    gradients.query = std::move(query.weightGradient);
    gradients.key = std::move(key.weightGradient);
    gradients.value = std::move(value.weightGradient);
    Tensor dh = std::move(query.inputGradient);
    addInto(dh, key.inputGradient);
    addInto(dh, value.inputGradient);

    RmsNormGradients attentionNorm = cudaRmsNormBackward(tape.input, layer.attention_norm, dh, epsilon, context);
    gradients.attention_norm = std::move(attentionNorm.weightGradient);
    addInto(dx2, attentionNorm.inputGradient);
    return dx2;
}

}  // namespace

TransformerWeights zeroGradientsLike(const TransformerWeights& weights) {
    return zerosLike(weights);
}

CudaModelBackwardResult cudaModelBackward(const TransformerSpec& spec, const TransformerWeights& weights,
                                          const TokenBatch& batch, const std::vector<std::uint32_t>& targets,
                                          const TransformerCudaContext& context) {
    if (!inputsMatch(spec, weights, batch, targets)) {
        throw std::invalid_argument("CUDA model backward input mismatch");
    }
    if (std::ranges::any_of(batch.tokens, [&](std::uint32_t token) { return token >= spec.vocabulary; })) {
        throw std::invalid_argument("CUDA embedding token exceeds vocabulary");
    }
    requireShape(weights.token_embedding, {spec.vocabulary, spec.model_dim}, "token embedding");

    const HostForwardTape tape = hostForwardTape(spec, weights, batch);
    CrossEntropyResult crossEntropy = cudaCrossEntropy(tape.logits, batch, targets, context);
    Tensor& logitsGradient = crossEntropy.logitsGradient;
    logitsGradient.shape = {batch.batch * batch.width, spec.vocabulary};

    CudaModelBackwardResult result{crossEntropy.loss, zeroGradientsLike(weights), Tensor()};
    TransformerWeights& gradients = result.gradients;
    const Tensor& projection = spec.tied_embeddings ? weights.token_embedding : weights.output_embedding;
    LinearGradients output = cudaLinearBackward(tape.finalNormed, projection, logitsGradient, context);
    (spec.tied_embeddings ? gradients.token_embedding : gradients.output_embedding) = std::move(output.weightGradient);
    RmsNormGradients finalNorm = cudaRmsNormBackward(tape.finalInput, weights.final_norm, output.inputGradient,
                                                     spec.normalization.epsilon, context);
    gradients.final_norm = std::move(finalNorm.weightGradient);

    Tensor dx = std::move(finalNorm.inputGradient);
    for (std::size_t l = weights.layers.size(); l-- > 0;) {
        dx = layerBackward(spec, batch, weights.layers[l], tape.layers[l], std::move(dx), gradients.layers[l], context);
    }

    result.inputEmbeddingGradient = Tensor(Extents{batch.batch, batch.width, spec.model_dim});
    result.inputEmbeddingGradient.values = dx.values;
    addInto(gradients.token_embedding, cudaEmbeddingBackward(batch.tokens, dx, spec.vocabulary, context));
    return result;
}

}  // namespace Halcyne::Core::Vestra
