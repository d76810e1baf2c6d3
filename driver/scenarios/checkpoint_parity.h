// The device trainer's checkpoints and failures: "cuda-checkpoint-parity" (byte round trips through
// the device and the CPU trainer, a corrupt image refused without a trace, identical continuations)
// and "cuda-transactional-failure" (a step whose update would not be finite changes nothing).
#pragma once

#include "cuda/transformer_cuda_context.h"

namespace Halcyne::Core::Vestra {

void verifyCudaCheckpointParity(TransformerCudaContext& context);
void verifyCudaTransactionalFailure(TransformerCudaContext& context);

}  // namespace Halcyne::Core::Vestra
