// The device gradients of causal grouped-query attention from host tensors. Two kernel paths give
// the same results: a fused one that holds a KV head's gradients in dynamic shared memory, used
// whenever that and the fused kernels' static shared memory fit the device's per-block limit, and an
// element-parallel one for any size.
#pragma once

#include <cstdint>
#include <vector>

#include "core/tensor.h"
#include "cuda/transformer_cuda_context.h"

namespace Halcyne::Core::Vestra {

// Shaped like query, key and value.
struct AttentionGradients {
    Tensor query;
    Tensor key;
    Tensor value;
};

enum class AttentionBackwardPath : std::uint8_t {
    Fused,            // query-row blocks, then KV-head blocks with (headDim + 1) * sequence * 16 bytes of shared memory
    ElementParallel,  // one thread per gradient element, no shared memory
};

// Fused when (headDim + 1) * sequence * 16 bytes of dynamic shared memory fit the per-block
// shared-memory limit together with staticSharedBytes, the larger static shared memory of the two
// fused kernels (all in bytes).
[[nodiscard]] AttentionBackwardPath selectAttentionBackwardPath(std::uint64_t headDim, std::uint64_t sequence,
                                                                std::uint64_t sharedMemoryLimit,
                                                                std::uint64_t staticSharedBytes);

// query and outputGradient [batch * sequence, queryHeads * headDim], key and value
// [batch * sequence, kvHeads * headDim]; lengths empty (every row full) or one per batch row, each
// at most sequence. Positions at or beyond a row's length get zero gradients.
//
// Throws, before any device work: TransformerCudaError kind Context "incomplete CUDA training
// context"; std::invalid_argument "CUDA attention backward shape mismatch", "CUDA attention
// backward lengths mismatch", "CUDA attention backward length exceeds sequence". Device failures
// are TransformerCudaError kind Runtime named "upload attention query|key|value|gradient|lengths",
// "query attention shared-memory limit", "query attention kernel attributes", "attention backward
// kernels", "download query|key|value gradient", "synchronize attention backward"; every device
// buffer is released on every path.
[[nodiscard]] AttentionGradients cudaAttentionBackward(const Tensor& query, const Tensor& key, const Tensor& value,
                                                       const Tensor& outputGradient, std::uint64_t batch,
                                                       std::uint64_t sequence, std::uint64_t queryHeads,
                                                       std::uint64_t kvHeads, std::uint64_t headDim,
                                                       const std::vector<std::uint64_t>& lengths,
                                                       const TransformerCudaContext& context);

// The same on the path the caller names instead of the one the device limit selects (tests and
// benchmarks hold the two paths against each other); neither the shared-memory limit nor the
// kernels' attributes are queried. A fused path that does not fit the device fails at "attention
// backward kernels".
[[nodiscard]] AttentionGradients cudaAttentionBackwardOnPath(
    const Tensor& query, const Tensor& key, const Tensor& value, const Tensor& outputGradient, std::uint64_t batch,
    std::uint64_t sequence, std::uint64_t queryHeads, std::uint64_t kvHeads, std::uint64_t headDim,
    const std::vector<std::uint64_t>& lengths, AttentionBackwardPath path, const TransformerCudaContext& context);

}  // namespace Halcyne::Core::Vestra
