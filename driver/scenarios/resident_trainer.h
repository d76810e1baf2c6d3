// The device-resident trainer against the CPU: "resident-boundary" (what crosses to the host and
// when), "resident-warp-attention" (a head width of 64 through the resident forward),
// "cuda-trainer-parity" (data order, losses, step logs and weights over two steps) and
// "bf16-training" (the BF16 tensor-core path learns and continues from its checkpoint bit for bit).
#pragma once

#include "cuda/transformer_cuda_context.h"

namespace Halcyne::Core::Vestra {

void verifyResidentBoundary(TransformerCudaContext& context);
void verifyResidentWarpAttention(TransformerCudaContext& context);
void verifyCudaTrainerParity(TransformerCudaContext& context);
void verifyBf16Training(TransformerCudaContext& context);

}  // namespace Halcyne::Core::Vestra
