// The whole-model backward at the community shape (one full 64-token row) on the build's device
// backend, beside the CPU tape backward of the same batch (forward with tape, cross-entropy,
// backward), so that one run shows their ratio. Best of a few runs each.
#include <cstdio>

#include "bench/fastest.h"
#include "cuda/operators/model_backward.h"
#include "cuda/transformer_cuda_session.h"
#include "driver/scenarios/model_backward.h"
#include "reference/cross_entropy.h"
#include "reference/tape.h"

int main() {
    using namespace Halcyne::Core::Vestra;
    const TransformerCudaSession session(0);
    const ModelBackwardProblem problem = modelBackwardProblemAtCommunityShape();
    const double device = fastestMilliseconds(3, [&] {
        (void)cudaModelBackward(problem.spec, problem.weights, problem.batch, problem.targets, session.context());
    });
    const double cpu = fastestMilliseconds(3, [&] {
        const TransformerForwardTape tape = gradientForward(problem.spec, problem.weights, problem.batch);
        (void)transformerBackward(tape, crossEntropy(tape.logits(), problem.batch, problem.targets).logitsGradient);
    });
    std::printf("model backward at community shape, 64 tokens: device %.2f ms, CPU tape %.2f ms (ratio %.2f)\n", device,
                cpu, cpu / device);
    return 0;
}
