// CPU trainer figures the device trainer is measured against: for the fixture model and the
// community shape, the size of the forward tape and the wall time of one accumulate + step (best of
// several runs on fresh trainers, so each run does the same work). The community shape is measured on
// the common four-token batch and on one full row of its 64-token context. Each figure stands beside
// the same run with a tape of the same shape held alive meanwhile, so that its tape cannot reuse the
// kept node array and records into fresh pages, as every call did before the array was kept. Then
// the tape recording and backward sweep of one accumulate are timed alone. bench/compare-base sets
// these figures beside a base commit's.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <string>

#include "bench/fastest.h"
#include "driver/fixtures.h"
#include "reference/cross_entropy.h"
#include "reference/forward.h"
#include "reference/tape.h"
#include "training/transformer_trainer.h"

namespace Halcyne::Core::Vestra {
namespace {

constexpr int runs = 5;

// One row that fills the context: token i is 1 + i mod 255, each target the next token.
TokenBatch fullContextBatch(std::uint32_t context, std::vector<std::uint32_t>& targets) {
    TokenBatch batch{1, context, {}, {}, {}};
    for (std::uint32_t i = 0; i < context; ++i) {
        batch.tokens.push_back(1 + i % 255);
        targets.push_back(1 + (i + 1) % 255);
    }
    return batch;
}

void measure(const char* name, const TransformerSpec& spec, const TransformerWeights& weights, const TokenBatch& batch,
             const std::vector<std::uint32_t>& targets) {
    const TransformerForwardTape tape = gradientForward(spec, weights, batch);

    const auto accumulateAndStep = [&] {
        TransformerTrainer trainer(spec, weights, scenarioTrainingConfig("cpu-trainer-bench"));
        const auto start = std::chrono::steady_clock::now();
        (void)trainer.accumulate(batch, targets);
        (void)trainer.step();
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    };
    double best = std::numeric_limits<double>::infinity();
    double fresh = std::numeric_limits<double>::infinity();
    for (int run = 0; run < runs; ++run) {
        best = std::min(best, accumulateAndStep());
        const TransformerForwardTape held = gradientForward(spec, weights, batch);
        fresh = std::min(fresh, accumulateAndStep());
    }
    std::printf("%-12s tape nodes %12llu  tape bytes %14llu  accumulate+step %10.3f ms (into fresh pages %.3f ms)\n",
                name, static_cast<unsigned long long>(tape.nodeCount()),
                static_cast<unsigned long long>(tape.byteSize()), best, fresh);

    const Tensor logitsGradient = crossEntropy(tape.logits(), batch, targets).logitsGradient;
    const double recordAndBackward = fastestMilliseconds(runs, [&] {
        const TransformerForwardTape recorded = gradientForward(spec, weights, batch);
        (void)transformerBackward(recorded, logitsGradient);
    });
    std::printf("%-12s tape recording + backward %10.3f ms\n", name, recordAndBackward);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra

int main() {
    using namespace Halcyne::Core::Vestra;
    const auto model = fixtureModel();
    measure("fixture", model->spec(), model->weights(), commonBatch(), commonTargets());
    const TransformerSpec community = communitySpec();
    const TransformerWeights communityWeights = randomWeights(community);
    measure("community", community, communityWeights, commonBatch(), commonTargets());
    std::vector<std::uint32_t> targets;
    const TokenBatch full = fullContextBatch(community.context, targets);
    measure("community64", community, communityWeights, full, targets);
    return 0;
}
