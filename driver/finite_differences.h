// Gradients that a CPU forward computation itself implies, by central finite differences of
// L = sum(output * outputGradient): independent of any hand-derived backward formula, and so the
// reference for the device backward functions. Two forward passes per element: for small inputs.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "core/tensor.h"
#include "cuda/operators/attention_backward.h"

namespace Halcyne::Core::Vestra {

// With respect to every element of x, which forward reads: each element in turn is moved by +1e-5
// and -1e-5 and restored, and its gradient is (L+ - L-) / 2e-5. forward's output must have
// outputGradient's shape.
[[nodiscard]] Tensor centralDifferences(Tensor& x, const std::function<Tensor()>& forward,
                                        const Tensor& outputGradient);

// One attention backward problem: inputs, output gradient and shape.
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

// centralDifferences of the CPU attention output for query, key and value.
[[nodiscard]] AttentionGradients attentionFiniteDifferences(const AttentionBackwardProblem& problem);

// cudaAttentionBackward on the problem's tensors and shape.
[[nodiscard]] AttentionGradients cudaAttentionBackward(const AttentionBackwardProblem& problem,
                                                       const TransformerCudaContext& context);

}  // namespace Halcyne::Core::Vestra
