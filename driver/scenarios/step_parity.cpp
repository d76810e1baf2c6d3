#include "driver/scenarios/step_parity.h"

#include <cmath>

#include "cuda/operators/model_adamw.h"
#include "cuda/operators/model_backward.h"
#include "driver/fixtures.h"
#include "driver/harness.h"
#include "reference/cross_entropy.h"
#include "reference/tape.h"
#include "training/transformer_trainer.h"

namespace Halcyne::Core::Vestra {

void verifyCudaStepParity(const TransformerCudaContext& context) {
    const auto model = fixtureModel();
    const TransformerSpec& spec = model->spec();
    const TokenBatch batch = commonBatch();
    const std::vector<std::uint32_t> targets = commonTargets();

    const TransformerForwardTape tape = gradientForward(spec, model->weights(), batch);
    CrossEntropyResult cpu = crossEntropy(tape.logits(), batch, targets);
    const TransformerGradients cpuGradients = transformerBackward(tape, cpu.logitsGradient);
    const CudaModelBackwardResult cuda = cudaModelBackward(spec, model->weights(), batch, targets, context);
    require(std::abs(cpu.loss - cuda.loss) < 1e-10, "integrated CUDA model loss differs");
    require(maxModelDifference(cpuGradients, cuda.gradients) < 2e-9, "integrated CUDA model gradients differ");
    require(maxAbsDifference(cpuGradients.inputEmbeddings, cuda.inputEmbeddingGradient) < 2e-9,
            "integrated CUDA input gradient differs");

    // One over the four active targets: the gradients of the mean loss the trainer steps on.
    for (double& value : cpu.logitsGradient.values) {
        value *= 0.25;
    }
    const TransformerGradients meanGradients = transformerBackward(tape, cpu.logitsGradient);

    TransformerTrainingConfig configuration = scenarioTrainingConfig("cuda-step-parity");
    configuration.learning_rate = 0.0003;
    configuration.max_gradient_norm = 1e100;
    TransformerTrainer trainer(spec, model->weights(), configuration);
    (void)trainer.accumulate(batch, targets);
    (void)trainer.step();

    TransformerWeights weights = model->weights();
    CudaModelAdamWState state;
    cudaModelAdamW(weights, meanGradients, state,
                   {configuration.learning_rate, configuration.beta1, configuration.beta2, configuration.epsilon,
                    configuration.weight_decay},
                   context);
    require(maxModelDifference(trainer.weights(), weights) < 2e-12,
            "integrated CUDA optimizer step differs from CPU trainer");
}

}  // namespace Halcyne::Core::Vestra
