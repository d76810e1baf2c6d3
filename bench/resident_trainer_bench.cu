// The device-resident trainer's accumulate + step on the build's device backend, FP64 and BF16
// GEMM paths, beside the CPU trainer doing the same work: the fixture model on the common batch and
// the community shape on one full 64-token row. Each figure is the best of a few runs on a fresh
// trainer (built outside the clock); the counters show what one step sent back to the host. At the
// community shape the gradient-norm partial sums of one step and the attention forwards of one
// accumulate are also replayed alone, which shows their part of the FP64 figure (the CPU device's
// GEMMs have a bench of their own, cpu_device_gemm_bench); bench/compare-base sets these figures
// beside a base commit's.
#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

#include "bench/fastest.h"
#include "cuda/device_transfers.h"
#include "cuda/kernels/attention.cuh"
#include "cuda/kernels/gradient_norm.cuh"
#include "cuda/launch.h"
#include "cuda/trainer/transformer_cuda_trainer.h"
#include "cuda/transformer_cuda_session.h"
#include "driver/fixtures.h"
#include "driver/scenarios/model_backward.h"
#include "training/transformer_trainer.h"

namespace Halcyne::Core::Vestra {
namespace {

constexpr int runs = 3;

// Milliseconds of the kernels replayed alone on buffers shaped like the model's: {norm, attention}.
// The norm replay also runs the finish kernel after each partial launch, as the step does.
std::array<double, 2> replayKernels(const TransformerSpec& spec, const TransformerWeights& weights,
                                    const TokenBatch& batch, const TransformerCudaContext& context) {
    std::vector<std::uint64_t> counts;
    forEachWeightTensor(weights, [&](const WeightSlot&, const Tensor& tensor) {
        if (!tensor.values.empty()) {
            counts.push_back(tensor.values.size());
        }
    });
    const std::uint64_t largest = *std::max_element(counts.begin(), counts.end());
    const auto gradient = uploadBuffer(context, std::vector<double>(largest, 1e-3), "upload replay gradient");
    const DeviceBuffer<double> partials(context, blocksFor(largest, kElementBlock));
    const auto accumulator = clearedBuffer<double>(context, 1, "clear replay norm");
    const std::uint64_t rows = batch.batch * batch.width;
    const std::uint64_t queryWidth = std::uint64_t{spec.query_heads} * spec.head_dim;
    const std::uint64_t kvWidth = std::uint64_t{spec.kv_heads} * spec.head_dim;
    const auto query = uploadBuffer(context, waveTensor({rows, queryWidth}, Wave::Sine, 0.3, 0.021, 0.0).values,
                                    "upload replay query");
    const auto keyValue =
        uploadBuffer(context, waveTensor({rows, kvWidth}, Wave::Cosine, 0.3, 0.031, 0.0).values, "upload replay key");
    const auto lengths = uploadBuffer(context, std::vector<std::uint64_t>(batch.batch, batch.width), "upload lengths");
    const DeviceBuffer<double> output(context, rows * queryWidth);
    const auto finish = [&] {
        checkKernels("replayed kernels");
        synchronize(context, "synchronize replayed kernels");
    };
    return fastestInTurns(
        runs,
        [&] {
            for (const std::uint64_t count : counts) {
                launch<squaredNormPartialKernel>(blocksFor(count, kElementBlock), kElementBlock, 0, context.stream,
                                                 gradient.get(), count, 1.0, partials.get());
                launch<squaredNormFinishKernel>(1, 1, 0, context.stream, partials.get(),
                                                std::uint64_t{blocksFor(count, kElementBlock)}, accumulator.get());
            }
            finish();
        },
        [&] {
            for (std::uint32_t layer = 0; layer < spec.layers; ++layer) {
                launch<trainingAttentionKernel>(blocksFor(rows * queryWidth, kElementBlock), kElementBlock, 0,
                                                context.stream, query.get(), keyValue.get(), keyValue.get(),
                                                output.get(), lengths.get(), batch.batch, batch.width, spec.query_heads,
                                                spec.kv_heads, spec.head_dim);
            }
            finish();
        });
}

// The FP64 device figure.
double measure(const char* name, TransformerSpec spec, const TransformerWeights& weights, const TokenBatch& batch,
               const std::vector<std::uint32_t>& targets, TransformerCudaContext& context) {
    const TransformerTrainingConfig config = scenarioTrainingConfig("resident-trainer-bench");
    const double cpu = fastestMilliseconds(
        runs, [&] { return TransformerTrainer(spec, weights, config); },
        [&](TransformerTrainer& trainer) {
            (void)trainer.accumulate(batch, targets);
            (void)trainer.step();
        });
    std::printf("%-12s CPU trainer        accumulate+step %9.3f ms\n", name, cpu);
    double fp64 = 0.0;
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
        fp64 = precision == PrecisionKind::Float64 ? device : fp64;
    }
    return fp64;
}

}  // namespace
}  // namespace Halcyne::Core::Vestra

int main() {
    using namespace Halcyne::Core::Vestra;
    TransformerCudaSession session(0);
    const auto model = fixtureModel();
    measure("fixture", model->spec(), model->weights(), commonBatch(), commonTargets(), session.context());
    const ModelBackwardProblem community = modelBackwardProblemAtCommunityShape();
    const double fp64 = measure("community64", community.spec, community.weights, community.batch, community.targets,
                                session.context());
    const auto [norm, attention] = replayKernels(community.spec, community.weights, community.batch, session.context());
    std::printf(
        "community64  replayed alone: norm partial sums of a step %.3f ms, attention forwards of an accumulate "
        "%.3f ms (of the FP64 accumulate+step's %.3f ms)\n",
        norm, attention, fp64);
    return 0;
}
