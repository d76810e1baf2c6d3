// One device attention backward at context 64 (one row, 6 query heads of width 8 over 2 KV heads),
// on the build's backend: the whole call on the fused path (what the driver's attention64_ms
// times) and on the element-parallel path, with the largest difference between their gradients;
// each the fastest of a few calls taken in turns, uploads to synchronisation. bench/compare-base
// sets these figures beside a base commit's.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "bench/fastest.h"
#include "cuda/operators/attention_backward.h"
#include "cuda/transformer_cuda_session.h"
#include "driver/scenarios/attention_parity.h"

namespace Halcyne::Core::Vestra {
namespace {

constexpr int kRepetitions = 7;

void onPath(const AttentionBackwardProblem& p, AttentionBackwardPath path, const TransformerCudaContext& context) {
    (void)cudaAttentionBackwardOnPath(p.query, p.key, p.value, p.outputGradient, p.batch, p.sequence, p.queryHeads,
                                      p.kvHeads, p.headDim, p.lengths, path, context);
}

double largestDifference(const AttentionGradients& a, const AttentionGradients& b) {
    double largest = 0.0;
    for (const auto& [x, y] : {std::pair{&a.query, &b.query}, {&a.key, &b.key}, {&a.value, &b.value}}) {
        for (std::size_t i = 0; i < x->values.size(); ++i) {
            largest = std::max(largest, std::abs(x->values[i] - y->values[i]));
        }
    }
    return largest;
}

}  // namespace
}  // namespace Halcyne::Core::Vestra

int main() {
    using namespace Halcyne::Core::Vestra;
    const TransformerCudaSession session(0);
    const TransformerCudaContext& context = session.context();
    const AttentionBackwardProblem problem = attentionProblemAtContext64();
    const auto [fused, elementParallel] = fastestInTurns(
        kRepetitions, [&] { onPath(problem, AttentionBackwardPath::Fused, context); },
        [&] { onPath(problem, AttentionBackwardPath::ElementParallel, context); });
    const double difference = largestDifference(
        cudaAttentionBackwardOnPath(problem.query, problem.key, problem.value, problem.outputGradient, problem.batch,
                                    problem.sequence, problem.queryHeads, problem.kvHeads, problem.headDim,
                                    problem.lengths, AttentionBackwardPath::ElementParallel, context),
        cudaAttentionBackward(problem, context));
    std::printf(
        "attention backward at context 64: fused %.3f ms, element-parallel %.3f ms; largest difference between "
        "the two %.3g\n",
        fused, elementParallel, difference);
    return 0;
}
