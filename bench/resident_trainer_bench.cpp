// The device-resident trainer's accumulate + step on the build's device backend, FP64 and BF16
// GEMM paths, beside the CPU trainer doing the same work: the fixture model on the common batch and
// the community shape on one full 64-token row. Each figure is the best of a few runs on a fresh
// trainer (built outside the clock); the counters show what one step sent back to the host.
#include <cstdio>

#include "bench/fastest.h"
#include "cuda/trainer/transformer_cuda_trainer.h"
#include "cuda/transformer_cuda_session.h"
#include "driver/fixtures.h"
#include "driver/scenarios/model_backward.h"
#include "training/transformer_trainer.h"

namespace Halcyne::Core::Vestra {
namespace {

constexpr int runs = 3;

void measure(const char* name, TransformerSpec spec, const TransformerWeights& weights, const TokenBatch& batch,
             const std::vector<std::uint32_t>& targets, TransformerCudaContext& context) {
    const TransformerTrainingConfig config = scenarioTrainingConfig("resident-trainer-bench");
    const double cpu = fastestMilliseconds(
        runs, [&] { return TransformerTrainer(spec, weights, config); },
        [&](TransformerTrainer& trainer) {
            (void)trainer.accumulate(batch, targets);
            (void)trainer.step();
        });
    std::printf("%-12s CPU trainer        accumulate+step %9.3f ms\n", name, cpu);
    for (const PrecisionKind precision : {PrecisionKind::Float64, PrecisionKind::Bf16}) {
        spec.precision.activations = precision;
        std::uint64_t downloads = 0;
        std::uint64_t crossings = 0;
        const double device = fastestMilliseconds(
            runs, [&] { return TransformerCudaTrainer(spec, weights, config, context); },
            [&](TransformerCudaTrainer& trainer) {
                (void)trainer.accumulate(batch, targets);
                (void)trainer.step();
                downloads = trainer.tensorDownloads();
                crossings = trainer.scalarBoundaryCrossings();
            });
        std::printf(
            "%-12s device trainer %-4s accumulate+step %9.3f ms  (CPU/device %.2f)  per step: %llu tensor "
            "downloads, %llu scalar reads\n",
            name, precision == PrecisionKind::Bf16 ? "BF16" : "FP64", device, cpu / device,
            static_cast<unsigned long long>(downloads), static_cast<unsigned long long>(crossings));
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra

int main() {
    using namespace Halcyne::Core::Vestra;
    TransformerCudaSession session(0);
    const auto model = fixtureModel();
    measure("fixture", model->spec(), model->weights(), commonBatch(), commonTargets(), session.context());
    const ModelBackwardProblem community = modelBackwardProblemAtCommunityShape();
    measure("community64", community.spec, community.weights, community.batch, community.targets, session.context());
    return 0;
}
