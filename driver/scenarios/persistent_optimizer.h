// The persistent AdamW scenarios: one tensor against host-state device AdamW, and a whole model
// against the host-state model AdamW, each with the allocator showing no allocation during an
// update and a resident footprint of exactly four doubles per element.
#pragma once

#include "cuda/transformer_cuda_context.h"

namespace Halcyne::Core::Vestra {

void verifyPersistentAdamW(const TransformerCudaContext& context);
void verifyPersistentModelAdamW(const TransformerCudaContext& context);

}  // namespace Halcyne::Core::Vestra
