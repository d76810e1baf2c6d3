// "cuda-step-parity": the whole-model device backward against the CPU tape backward (loss, weight
// gradients, input-embedding gradient), and one host-state model AdamW step on the mean gradients
// against one step of the CPU trainer.
#pragma once

#include "cuda/transformer_cuda_context.h"

namespace Halcyne::Core::Vestra {

void verifyCudaStepParity(const TransformerCudaContext& context);

}  // namespace Halcyne::Core::Vestra
