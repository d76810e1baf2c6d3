// One attention backward problem (inputs, output gradient and shape) and the gradients that the
// CPU attention itself implies for it, by central finite differences of
// L = sum(output * outputGradient), independent of any hand-derived backward formula.
#pragma once

#include <cstdint>
#include <vector>

#include "core/tensor.h"
#include "cuda/operators/attention_backward.h"

namespace Halcyne::Core::Vestra {

struct AttentionBackwardProblem {
    Tensor query;           // [batch * sequence, queryHeads * headDim]
    Tensor key;             // [batch * sequence, kvHeads * headDim]
    Tensor value;           // [batch * sequence, kvHeads * headDim]
    Tensor outputGradient;  // [batch * sequence, queryHeads * headDim]
    std::uint64_t batch = 0;
    std::uint64_t sequence = 0;
    std::uint64_t queryHeads = 0;
    std::uint64_t kvHeads = 0;
    std::uint64_t headDim = 0;
    std::vector<std::uint64_t> lengths;  // empty: every row full
};

// Each element of query, key and value in turn is moved by +1e-5 and -1e-5 and restored; its
// gradient is (L+ - L-) / 2e-5. Two CPU attention passes per element: meant for small problems.
[[nodiscard]] AttentionGradients attentionFiniteDifferences(const AttentionBackwardProblem& problem);

// cudaAttentionBackward on the problem's tensors and shape.
[[nodiscard]] AttentionGradients cudaAttentionBackward(const AttentionBackwardProblem& problem,
                                                       const TransformerCudaContext& context);

}  // namespace Halcyne::Core::Vestra
