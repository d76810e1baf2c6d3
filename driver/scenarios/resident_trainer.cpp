#include "driver/scenarios/resident_trainer.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "cuda/trainer/transformer_cuda_trainer.h"
#include "driver/fixtures.h"
#include "driver/harness.h"
#include "reference/cross_entropy.h"
#include "reference/forward.h"
#include "training/transformer_trainer.h"

namespace Halcyne::Core::Vestra {
namespace {

double cpuLoss(const TransformerSpec& spec, const TransformerWeights& weights, const TokenBatch& batch,
               const std::vector<std::uint32_t>& targets) {
    return crossEntropy(transformerForward(spec, weights, batch), batch, targets).loss;
}

// One layer with a single head of width 64 over a vocabulary of 32, tied, SwiGLU.
TransformerSpec warpAttentionSpec() {
    TransformerSpec spec = fixtureSpec();
    spec.vocabulary = 32;
    spec.context = 16;
    spec.layers = 1;
    spec.model_dim = 64;
    spec.ffn_dim = 96;
    spec.query_heads = 1;
    spec.kv_heads = 1;
    spec.head_dim = 64;
    spec.ports[1].width = 32;
    return spec;
}

std::string formatted(const char* format, double a, double b, double c) {
    char text[256];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

}  // namespace

void verifyResidentBoundary(TransformerCudaContext& context) {
    const auto model = fixtureModel();
    const TokenBatch batch = commonBatch();
    const std::vector<std::uint32_t> targets = commonTargets();
    const double expected = cpuLoss(model->spec(), model->weights(), batch, targets);
    TransformerCudaTrainer trainer(model->spec(), model->weights(), scenarioTrainingConfig("resident-boundary"),
                                   context);

    require(std::abs(trainer.evaluate(batch, targets) - expected) < 1e-10, "resident evaluation differs from CPU");
    require(trainer.tensorDownloads() == 0, "resident evaluation downloaded a tensor");
    require(trainer.scalarBoundaryCrossings() == 1, "resident evaluation scalar boundary mismatch");

    (void)trainer.accumulate(batch, targets);
    (void)trainer.step();
    require(trainer.tensorDownloads() == 0, "resident accumulate/step downloaded a tensor");
    require(trainer.scalarBoundaryCrossings() == 4, "resident accumulate/step scalar boundary mismatch");

    (void)trainer.materializeWeights();
    const std::uint64_t parameters = trainer.tensorDownloads();
    require(parameters > 0, "explicit weight materialization was not recorded");
    (void)trainer.checkpointBytes();
    require(trainer.tensorDownloads() == 4 * parameters, "checkpoint re-downloaded already materialized weights");
}

void verifyResidentWarpAttention(TransformerCudaContext& context) {
    const TransformerSpec spec = warpAttentionSpec();
    const TransformerWeights weights = randomWeights(spec);
    TokenBatch batch;
    batch.batch = 1;
    batch.width = 8;
    batch.tokens = {1, 2, 3, 4, 5, 6, 7, 8};
    const std::vector<std::uint32_t> targets = {2, 3, 4, 5, 6, 7, 8, 9};
    const double expected = cpuLoss(spec, weights, batch, targets);

    TransformerCudaTrainer trainer(spec, weights, scenarioTrainingConfig("resident-warp-attention"), context);
    const double eval = trainer.evaluate(batch, targets);
    const double train = trainer.accumulate(batch, targets);
    if (!(std::abs(eval - expected) < 1e-9) || !(std::abs(train - expected) < 1e-9)) {
        require(false, formatted("resident forward expected=%f eval=%f train=%f", expected, eval, train).c_str());
    }
}

void verifyCudaTrainerParity(TransformerCudaContext& context) {
    const auto model = fixtureModel();
    TransformerTrainingConfig config = scenarioTrainingConfig("cuda-trainer-parity");
    config.learning_rate = 0.0002;
    config.max_gradient_norm = 0.5;
    config.warmup_steps = 2;
    config.decay_steps = 10;
    config.seed = 77;
    TransformerTrainer cpu(model->spec(), model->weights(), config);
    TransformerCudaTrainer cuda(model->spec(), model->weights(), config, context);

    for (int draw = 0; draw < 8; ++draw) {
        require(cpu.nextDataIndex(31) == cuda.nextDataIndex(31), "CUDA trainer data RNG differs");
    }
    const TokenBatch batch = commonBatch();
    const std::vector<std::uint32_t> targets = commonTargets();
    const double before = cuda.evaluate(batch, targets);
    for (int iteration = 0; iteration < 2; ++iteration) {
        const double cpuLoss = cpu.accumulate(batch, targets);
        require(std::abs(cpuLoss - cuda.accumulate(batch, targets)) < 1e-10, "CUDA trainer accumulated loss differs");
        const TrainingStepLog a = cpu.step();
        const TrainingStepLog b = cuda.step();
        require(a.step == b.step && std::abs(a.learningRate - b.learningRate) < 1e-16 &&
                    std::abs(a.gradientNorm - b.gradientNorm) < 1e-7 && std::abs(a.clipScale - b.clipScale) < 1e-9,
                "CUDA trainer step log differs");
        require(maxModelDifference(cpu.weights(), cuda.materializeWeights()) < 2e-7,
                "CUDA trainer weights diverged from CPU");
    }
    const double after = cuda.evaluate(batch, targets);
    require(after < before && cuda.steps() == 2 && cuda.examplesSeen() == 2,
            "CUDA trainer did not learn or track state");
}

void verifyBf16Training(TransformerCudaContext& context) {
    const auto model = fixtureModel();
    TransformerSpec spec = model->spec();
    spec.precision.activations = PrecisionKind::Bf16;
    TransformerTrainingConfig config = scenarioTrainingConfig("bf16-training");
    config.learning_rate = 0.0002;
    config.max_gradient_norm = 0.5;
    const TokenBatch batch = commonBatch();
    const std::vector<std::uint32_t> targets = commonTargets();

    TransformerCudaTrainer a(spec, model->weights(), config, context);
    const double before = a.evaluate(batch, targets);
    for (int iteration = 0; iteration < 3; ++iteration) {
        require(std::isfinite(a.accumulate(batch, targets)), "BF16 training produced non-finite loss");
        const TrainingStepLog log = a.step();
        require(std::isfinite(log.gradientNorm) && std::isfinite(log.clipScale),
                "BF16 training produced non-finite optimizer telemetry");
    }
    require(a.evaluate(batch, targets) < before, "BF16 training did not reduce loss");
    require(a.bf16TensorCoreGemms() > 0, "BF16 Tensor Core GEMM path was not executed");

    (void)a.accumulate(batch, targets);
    const Bytes pending = a.checkpointBytes();
    TransformerCudaTrainer b(spec, model->weights(), config, context);
    b.restoreCheckpoint(pending);
    (void)a.step();
    (void)b.step();
    require(a.checkpointBytes() == b.checkpointBytes(), "BF16 checkpoint continuation diverged");
}

}  // namespace Halcyne::Core::Vestra
