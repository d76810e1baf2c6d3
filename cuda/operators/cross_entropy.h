// Cross-entropy with the loss mask on the device: the device twin of crossEntropy, returning the
// same summed loss and logits gradient.
#pragma once

#include <cstdint>
#include <vector>

#include "core/tensor.h"
#include "cuda/transformer_cuda_context.h"
#include "reference/cross_entropy.h"
#include "reference/token_batch.h"

namespace Halcyne::Core::Vestra {

// logits [batch, width, vocabulary]; of the batch only batch, width, lengths and lossMask are read.
// Unlike the CPU version every target is checked, active or not. The per-position losses are added
// on the host in index order, as the CPU adds them. Argument errors are std::invalid_argument,
// thrown before any device work: "CUDA cross-entropy shape mismatch", "CUDA cross-entropy target
// exceeds vocabulary", "CUDA cross-entropy lengths mismatch". Lengths are not compared with the
// width: a longer length counts the whole row.
[[nodiscard]] CrossEntropyResult cudaCrossEntropy(const Tensor& logits, const TokenBatch& batch,
                                                  const std::vector<std::uint32_t>& targets,
                                                  const TransformerCudaContext& context);

}  // namespace Halcyne::Core::Vestra
