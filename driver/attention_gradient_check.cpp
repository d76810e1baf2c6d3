#include "driver/attention_gradient_check.h"

#include <cstddef>

#include "reference/attention.h"

namespace Halcyne::Core::Vestra {
namespace {

constexpr double kStep = 1e-5;
constexpr double kDivisor = 2e-5;

}  // namespace

AttentionGradients attentionFiniteDifferences(const AttentionBackwardProblem& problem) {
    requireShape(problem.outputGradient, problem.query.shape, "attention output gradient");
    Tensor query = problem.query;
    Tensor key = problem.key;
    Tensor value = problem.value;
    const auto loss = [&] {
        const Tensor output =
            groupedQueryAttention(query, key, value, problem.batch, problem.sequence, problem.queryHeads,
                                  problem.kvHeads, problem.headDim, problem.lengths, true)
                .output;
        double sum = 0.0;
        for (std::size_t i = 0; i < output.values.size(); ++i) {
            sum += output.values[i] * problem.outputGradient.values[i];
        }
        return sum;
    };
    const auto differentiate = [&](Tensor& input) {
        Tensor gradient(input.shape);
        for (std::size_t i = 0; i < input.values.size(); ++i) {
            const double original = input.values[i];
            input.values[i] = original + kStep;
            const double above = loss();
            input.values[i] = original - kStep;
            const double below = loss();
            input.values[i] = original;
            gradient.values[i] = (above - below) / kDivisor;
        }
        return gradient;
    };
    Tensor queryGradient = differentiate(query);
    Tensor keyGradient = differentiate(key);
    Tensor valueGradient = differentiate(value);
    return {std::move(queryGradient), std::move(keyGradient), std::move(valueGradient)};
}

AttentionGradients cudaAttentionBackward(const AttentionBackwardProblem& problem,
                                         const TransformerCudaContext& context) {
    return cudaAttentionBackward(problem.query, problem.key, problem.value, problem.outputGradient, problem.batch,
                                 problem.sequence, problem.queryHeads, problem.kvHeads, problem.headDim,
                                 problem.lengths, context);
}

}  // namespace Halcyne::Core::Vestra
