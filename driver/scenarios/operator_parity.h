// The operator and optimizer parity scenarios: device cross-entropy with and without a loss mask,
// stateless device AdamW, and the device backward of linear, RMSNorm, SwiGLU and GELU, each held
// against the CPU within a fixed tolerance. A failed check throws std::runtime_error.
#pragma once

#include "cuda/transformer_cuda_context.h"

namespace Halcyne::Core::Vestra {

void verifyCrossEntropyParity(const TransformerCudaContext& context);
void verifyAdamWParity(const TransformerCudaContext& context);
void verifyOperatorBackwardParity(const TransformerCudaContext& context);

}  // namespace Halcyne::Core::Vestra
