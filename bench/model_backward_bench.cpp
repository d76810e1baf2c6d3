// The whole-model backward at the community shape (one full 64-token row) on the build's device
// backend, beside the CPU tape backward of the same batch (forward with tape, cross-entropy,
// backward), so that one run shows their ratio. Best of a few runs each.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "cuda/operators/model_backward.h"
#include "cuda/transformer_cuda_session.h"
#include "driver/scenarios/model_backward.h"
#include "reference/cross_entropy.h"
#include "reference/tape.h"

namespace Halcyne::Core::Vestra {
namespace {

template <class Run>
double fastestMilliseconds(Run&& run) {
    double best = 1e30;
    for (int repetition = 0; repetition < 3; ++repetition) {
        const auto start = std::chrono::steady_clock::now();
        run();
        const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count());
    }
    return best;
}

}  // namespace
}  // namespace Halcyne::Core::Vestra

int main() {
    using namespace Halcyne::Core::Vestra;
    const TransformerCudaSession session(0);
    const ModelBackwardProblem problem = modelBackwardProblemAtCommunityShape();
    const double device = fastestMilliseconds([&] {
        (void)cudaModelBackward(problem.spec, problem.weights, problem.batch, problem.targets, session.context());
    });
    const double cpu = fastestMilliseconds([&] {
        const TransformerForwardTape tape = gradientForward(problem.spec, problem.weights, problem.batch);
        (void)transformerBackward(tape, crossEntropy(tape.logits(), problem.batch, problem.targets).logitsGradient);
    });
    std::printf("model backward at community shape, 64 tokens: device %.2f ms, CPU tape %.2f ms (ratio %.2f)\n", device,
                cpu, cpu / device);
    return 0;
}
