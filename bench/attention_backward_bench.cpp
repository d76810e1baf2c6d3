// One device attention backward at context 64 (one row, 6 query heads of width 8 over 2 KV heads),
// on the fused path and on the element-parallel path, on the build's backend.
#include <cstdio>

#include "bench/fastest.h"
#include "cuda/operators/attention_backward.h"
#include "cuda/transformer_cuda_session.h"
#include "driver/scenarios/attention_parity.h"

namespace Halcyne::Core::Vestra {
namespace {

// Milliseconds of the fastest of a few calls, each whole (uploads to synchronisation).
double attentionMilliseconds(const AttentionBackwardProblem& problem, AttentionBackwardPath path,
                             const TransformerCudaContext& context) {
    return fastestMilliseconds(5, [&] {
        (void)cudaAttentionBackwardOnPath(problem.query, problem.key, problem.value, problem.outputGradient,
                                          problem.batch, problem.sequence, problem.queryHeads, problem.kvHeads,
                                          problem.headDim, problem.lengths, path, context);
    });
}

}  // namespace
}  // namespace Halcyne::Core::Vestra

int main() {
    using namespace Halcyne::Core::Vestra;
    const TransformerCudaSession session(0);
    const AttentionBackwardProblem problem = attentionProblemAtContext64();
    std::printf("attention backward at context 64: fused %.2f ms, element-parallel %.2f ms\n",
                attentionMilliseconds(problem, AttentionBackwardPath::Fused, session.context()),
                attentionMilliseconds(problem, AttentionBackwardPath::ElementParallel, session.context()));
    return 0;
}
