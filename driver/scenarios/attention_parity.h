// The attention-side parity scenarios: the device RoPE, attention and embedding backward held
// against the CPU (the attention against finite differences of the CPU attention), and the timed
// device attention backward at context 64. A failed check throws std::runtime_error.
#pragma once

#include <ostream>

#include "cuda/transformer_cuda_context.h"
#include "driver/finite_differences.h"

namespace Halcyne::Core::Vestra {

void verifyAttentionRopeEmbeddingBackward(const TransformerCudaContext& context);

// Writes " attention64_ms=" and the whole milliseconds of one device attention backward to `out`.
void verifyAttentionBackwardAtContext64(const TransformerCudaContext& context, std::ostream& out);

// The context-64 problem: one full row of 64 positions, 6 query heads of width 8 over 2 KV heads.
[[nodiscard]] AttentionBackwardProblem attentionProblemAtContext64();

}  // namespace Halcyne::Core::Vestra
