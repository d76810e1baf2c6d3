// What training one model on several processes costs, at the community shape and at vestra's default
// shape: the bytes each step's all-reduce moves, the time of a step with one and with two processes,
// and the share of it spent summing the windows. Run plainly, it measures one process, then starts
// itself under mpirun with two (where the build found MPI); each job prints its own lines.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/initial_weights.h"
#include "cli/process_group.h"
#include "cli/run_trainer.h"
#include "driver/fixtures.h"
#include "training/named_tensors.h"

namespace Halcyne::Core::Vestra {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kBatch = 16;
constexpr std::uint32_t kAccumulation = 2;
constexpr int kSteps = 6;  // the first warms up and is not counted

struct Shape {
    const char* name;
    TransformerSpec spec;
};

std::uint64_t parameterCount(const TransformerWeights& weights) {
    std::uint64_t count = 0;
    for (const ConstNamedTensor& entry : namedTensors(weights)) {
        count += entry.tensor.values.size();
    }
    return count;
}

void measure(const Shape& shape, Cli::ProcessGroup& group) {
    TransformerTrainingConfig config;
    config.dataset_hash = "bench";
    const TransformerWeights weights = Cli::initialWeights(shape.spec, 1);
    const auto trainer = Cli::makeTrainer(Cli::defaultDevice(), shape.spec, weights, config);
    TokenBatch batch;
    batch.batch = kBatch;
    batch.width = shape.spec.context;
    std::vector<std::uint32_t> targets(std::uint64_t{kBatch} * shape.spec.context);
    for (std::size_t i = 0; i < targets.size(); ++i) {
        batch.tokens.push_back(static_cast<std::uint32_t>((i * 37 + 11) % 256));
        targets[i] = static_cast<std::uint32_t>((i * 37 + 48) % 256);
    }
    double stepSeconds = 0.0;
    double sumSeconds = 0.0;
    for (int step = 0; step < kSteps; ++step) {
        const Clock::time_point start = Clock::now();
        for (std::uint32_t a = 0; a < kAccumulation; ++a) {
            if (a % group.ranks() == group.rank()) {
                (void)trainer->accumulate(batch, targets);
            }
        }
        const Clock::time_point summing = Clock::now();
        if (group.joined()) {
            trainer->reduceWindow(group);
        }
        const Clock::time_point summed = Clock::now();
        (void)trainer->step();
        if (step > 0) {
            stepSeconds += std::chrono::duration<double>(Clock::now() - start).count();
            sumSeconds += std::chrono::duration<double>(summed - summing).count();
        }
    }
    if (group.root()) {
        const double bytes = static_cast<double>(parameterCount(weights) + 3) * sizeof(double);
        std::printf("%-10s %9llu  %7.1f KB  %u process%s  %8.1f ms per step  %5.1f %% summing\n", shape.name,
                    static_cast<unsigned long long>(parameterCount(weights)), bytes / 1024.0, group.ranks(),
                    group.ranks() == 1 ? "  " : "es", 1000.0 * stepSeconds / (kSteps - 1),
                    100.0 * sumSeconds / stepSeconds);
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra

int main(int, char** argv) {
    using namespace Halcyne::Core::Vestra;
    Cli::ProcessGroup& group = Cli::ProcessGroup::instance();
    if (!group.joined()) {
        std::printf("one step: %u batches of %u windows; the all-reduce moves every gradient and 3 totals\n",
                    kAccumulation, kBatch);
        std::printf("%-10s %9s  %10s  %-12s %20s  %s\n", "shape", "params", "all-reduce", "job", "step", "share");
    }
    std::fflush(stdout);
    for (const Shape& shape : {Shape{"community", communitySpec()}, Shape{"default", Cli::defaultModelSpec()}}) {
        measure(shape, group);
        std::fflush(stdout);
    }
#if defined(VESTRA_MPIEXEC)
    if (!group.joined()) {
        const std::string job = std::string(
                                    "OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 "
                                    "OMPI_MCA_btl_vader_single_copy_mechanism=none '") +
                                VESTRA_MPIEXEC + "' -q --oversubscribe -np 2 '" + argv[0] + "'";
        return std::system(job.c_str()) == 0 ? 0 : 1;
    }
#else
    (void)argv;
#endif
    return 0;
}
