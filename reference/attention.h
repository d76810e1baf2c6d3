// Causal grouped-query attention with per-row lengths. Query head h reads KV head h / (queryHeads /
// kvHeads); query position i attends to key positions 0..i. Entries above the diagonal, and every
// query row at or beyond its row's length, stay 0 in all three results (masked scores are 0, not
// negative infinity).
#pragma once

#include <cstdint>
#include <vector>

#include "core/tensor.h"

namespace Halcyne::Core::Vestra {

struct AttentionResult {
    Tensor scores;         // [batch, queryHeads, sequence, sequence]: scaled dot products, before softmax
    Tensor probabilities;  // [batch, queryHeads, sequence, sequence]: softmax of each causal row
    Tensor output;         // [batch*sequence, queryHeads*headDim]
};

// query [batch*sequence, queryHeads*headDim], key and value [batch*sequence, kvHeads*headDim].
// lengths is empty (every row has length sequence) or holds one length per batch row.
[[nodiscard]] AttentionResult groupedQueryAttention(const Tensor& query, const Tensor& key, const Tensor& value,
                                                    std::uint64_t batch, std::uint64_t sequence,
                                                    std::uint64_t queryHeads, std::uint64_t kvHeads,
                                                    std::uint64_t headDim, const std::vector<std::uint64_t>& lengths,
                                                    bool doublePrecision);

// The output of groupedQueryAttention alone, the same bits, without filling the two matrices.
[[nodiscard]] Tensor groupedQueryAttentionOutput(const Tensor& query, const Tensor& key, const Tensor& value,
                                                 std::uint64_t batch, std::uint64_t sequence, std::uint64_t queryHeads,
                                                 std::uint64_t kvHeads, std::uint64_t headDim,
                                                 const std::vector<std::uint64_t>& lengths, bool doublePrecision);

}  // namespace Halcyne::Core::Vestra
