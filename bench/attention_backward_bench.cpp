// One device attention backward at context 64 (one row, 6 query heads of width 8 over 2 KV heads),
// on the fused path and on the element-parallel path, on the build's backend.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "cuda/operators/attention_backward.h"
#include "cuda/transformer_cuda_session.h"
#include "driver/scenarios/attention_parity.h"

namespace Halcyne::Core::Vestra {
namespace {

// Milliseconds of the fastest of a few calls, each whole (uploads to synchronisation).
double fastestMilliseconds(const AttentionBackwardProblem& problem, AttentionBackwardPath path,
                           const TransformerCudaContext& context) {
    double best = 1e30;
    for (int repetition = 0; repetition < 5; ++repetition) {
        const auto start = std::chrono::steady_clock::now();
        const AttentionGradients gradients = cudaAttentionBackwardOnPath(
            problem.query, problem.key, problem.value, problem.outputGradient, problem.batch, problem.sequence,
            problem.queryHeads, problem.kvHeads, problem.headDim, problem.lengths, path, context);
        const auto end = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::milli>(end - start).count());
    }
    return best;
}

}  // namespace
}  // namespace Halcyne::Core::Vestra

int main() {
    using namespace Halcyne::Core::Vestra;
    const TransformerCudaSession session(0);
    const AttentionBackwardProblem problem = attentionProblemAtContext64();
    std::printf("attention backward at context 64: fused %.2f ms, element-parallel %.2f ms\n",
                fastestMilliseconds(problem, AttentionBackwardPath::Fused, session.context()),
                fastestMilliseconds(problem, AttentionBackwardPath::ElementParallel, session.context()));
    return 0;
}
