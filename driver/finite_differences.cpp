#include "driver/finite_differences.h"

#include <cstddef>

#include "reference/attention.h"

namespace Halcyne::Core::Vestra {

Tensor centralDifferences(Tensor& x, const std::function<Tensor()>& forward, const Tensor& outputGradient) {
    constexpr double kStep = 1e-5;
    constexpr double kDivisor = 2e-5;
    const auto loss = [&] {
        const Tensor output = forward();
        requireShape(output, outputGradient.shape, "finite-difference output");
        double sum = 0.0;
        for (std::size_t i = 0; i < output.values.size(); ++i) {
            sum += output.values[i] * outputGradient.values[i];
        }
        return sum;
    };
    Tensor gradient(x.shape);
    for (std::size_t i = 0; i < x.values.size(); ++i) {
        const double original = x.values[i];
        x.values[i] = original + kStep;
        const double above = loss();
        x.values[i] = original - kStep;
        const double below = loss();
        x.values[i] = original;
        gradient.values[i] = (above - below) / kDivisor;
    }
    return gradient;
}

AttentionGradients attentionFiniteDifferences(const AttentionBackwardProblem& problem) {
    AttentionBackwardProblem moved = problem;
    const auto forward = [&] {
        return groupedQueryAttention(moved.query, moved.key, moved.value, moved.batch, moved.sequence, moved.queryHeads,
                                     moved.kvHeads, moved.headDim, moved.lengths, true)
            .output;
    };
    Tensor query = centralDifferences(moved.query, forward, problem.outputGradient);
    Tensor key = centralDifferences(moved.key, forward, problem.outputGradient);
    Tensor value = centralDifferences(moved.value, forward, problem.outputGradient);
    return {std::move(query), std::move(key), std::move(value)};
}

AttentionGradients cudaAttentionBackward(const AttentionBackwardProblem& problem,
                                         const TransformerCudaContext& context) {
    return cudaAttentionBackward(problem.query, problem.key, problem.value, problem.outputGradient, problem.batch,
                                 problem.sequence, problem.queryHeads, problem.kvHeads, problem.headDim,
                                 problem.lengths, context);
}

}  // namespace Halcyne::Core::Vestra
