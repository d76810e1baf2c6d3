// The host half of the whole-model device backward: the forward pass on the CPU operators in
// double precision, recording per layer the eleven activations the device backward reads. Unlike
// the CPU reference forward, padding positions are embedded and carried like any other row; the
// backward gives them zero gradients because the loss never reads them.
#pragma once

#include <vector>

#include "core/tensor.h"
#include "core/transformer_spec.h"
#include "core/transformer_weights.h"
#include "reference/token_batch.h"

namespace Halcyne::Core::Vestra {

// All [rows, ·] with rows = batch * width.
struct HostLayerTape {
    Tensor input;            // x, the residual stream entering the layer
    Tensor attentionNormed;  // h = RMSNorm(x)
    Tensor query;            // h x query^T, rotated
    Tensor key;              // h x key^T, rotated
    Tensor value;            // h x value^T
    Tensor attention;        // before the output projection
    Tensor residual;         // x2 = x + attention x attention_output^T
    Tensor ffnNormed;        // h2 = RMSNorm(x2)
    Tensor gate;             // h2 x ffn_gate^T; empty for GELU
    Tensor up;               // h2 x ffn_up^T
    Tensor activation;       // SiLU(gate) * up, or GELU(up)
};

struct HostForwardTape {
    std::vector<HostLayerTape> layers;
    Tensor finalInput;   // [rows, model_dim], the residual stream after the last layer
    Tensor finalNormed;  // [rows, model_dim]
    Tensor logits;       // [batch, width, vocabulary]
};

// The token ids and the token embedding's shape are the caller's to check: every id is looked up.
// The argument and NaN/Inf errors of rmsNorm, RoPE and attention propagate; the linear products
// refuse wrong shapes as the linear operator does but pass non-finite values on, as does the
// activation. The residual additions throw std::invalid_argument "host tape add shape mismatch"
// for operands of different shapes.
[[nodiscard]] HostForwardTape hostForwardTape(const TransformerSpec& spec, const TransformerWeights& weights,
                                              const TokenBatch& batch);

// sum += addend element by element; std::invalid_argument(mismatchMessage) when the shapes differ.
void addInPlace(Tensor& sum, const Tensor& addend, const char* mismatchMessage);

}  // namespace Halcyne::Core::Vestra
