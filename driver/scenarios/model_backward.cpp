#include "driver/scenarios/model_backward.h"

#include <chrono>

#include "cuda/operators/model_backward.h"
#include "driver/fixtures.h"
#include "driver/harness.h"

namespace Halcyne::Core::Vestra {

ModelBackwardProblem modelBackwardProblemAtCommunityShape() {
    ModelBackwardProblem problem{communitySpec(), {}, {1, 64, {}, {}, {}}, {}};
    problem.weights = randomWeights(problem.spec);
    for (std::uint32_t i = 0; i < 64; ++i) {
        problem.batch.tokens.push_back(i);
        problem.targets.push_back((i + 1) % 200);
    }
    return problem;
}

void verifyModelBackwardAtCommunityShape(const TransformerCudaContext& context, std::ostream& out) {
    const ModelBackwardProblem problem = modelBackwardProblemAtCommunityShape();
    const auto start = std::chrono::steady_clock::now();
    const CudaModelBackwardResult result =
        cudaModelBackward(problem.spec, problem.weights, problem.batch, problem.targets, context);
    const auto end = std::chrono::steady_clock::now();
    const std::int64_t milliseconds = elapsedMilliseconds(start, end);
    require(result.gradients.layers.size() == 3 && milliseconds < 30000,
            "CUDA model backward is not usable at community shape");
    out << " model64_ms=" << milliseconds;
}

}  // namespace Halcyne::Core::Vestra
