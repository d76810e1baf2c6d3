// CPU trainer figures the device trainer is measured against: for the fixture model and the
// community shape, the size of the forward tape of the common batch and the wall time of one
// accumulate + step (best of several runs on fresh trainers, so each run does the same work).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "driver/fixtures.h"
#include "reference/tape.h"
#include "training/transformer_trainer.h"

namespace Halcyne::Core::Vestra {
namespace {

constexpr int runs = 5;

void measure(const char* name, const TransformerSpec& spec, const TransformerWeights& weights) {
    const TokenBatch batch = commonBatch();
    const std::vector<std::uint32_t> targets = commonTargets();
    const TransformerForwardTape tape = gradientForward(spec, weights, batch);

    double best = 0.0;
    for (int run = 0; run < runs; ++run) {
        TransformerTrainer trainer(spec, weights, scenarioTrainingConfig("cpu-trainer-bench"));
        const auto start = std::chrono::steady_clock::now();
        (void)trainer.accumulate(batch, targets);
        (void)trainer.step();
        const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
        best = run == 0 ? elapsed.count() : std::min(best, elapsed.count());
    }
    std::printf("%-10s tape nodes %12llu  tape bytes %14llu  accumulate+step %10.3f ms\n", name,
                static_cast<unsigned long long>(tape.nodeCount()), static_cast<unsigned long long>(tape.byteSize()),
                best);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra

int main() {
    using namespace Halcyne::Core::Vestra;
    const auto model = fixtureModel();
    measure("fixture", model->spec(), model->weights());
    const TransformerSpec community = communitySpec();
    measure("community", community, randomWeights(community));
    return 0;
}
