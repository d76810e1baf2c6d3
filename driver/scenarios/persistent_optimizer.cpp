#include "driver/scenarios/persistent_optimizer.h"

#include <cstdint>
#include <vector>

#include "cuda/operators/adamw.h"
#include "cuda/operators/model_adamw.h"
#include "cuda/operators/model_backward.h"
#include "cuda/optimizers/persistent_adamw.h"
#include "cuda/optimizers/persistent_model_adamw.h"
#include "driver/fixtures.h"
#include "driver/harness.h"

namespace Halcyne::Core::Vestra {

void verifyPersistentAdamW(const TransformerCudaContext& context) {
    // The inputs and coefficients of the stateless AdamW scenario.
    const CudaAdamWConfig configuration{0.0003, 0.9, 0.999, 1e-8, 0.01};
    const Tensor start = waveTensor({17}, Wave::Sine, 0.1, 1.0, 0.3);
    const Tensor gradient = waveTensor({17}, Wave::Cosine, 0.2, 1.0, 0.7);

    PersistentCudaAdamW persistent(start, CudaAdamWState{}, context);
    const std::uint64_t resident = context.allocator->allocatedBytes();
    Tensor reference = start;
    CudaAdamWState referenceState;
    for (int step = 0; step < 5; ++step) {
        cudaAdamW(reference, gradient, referenceState, configuration, context);
        persistent.step(gradient, configuration);
        require(context.allocator->allocatedBytes() == resident, "persistent AdamW allocated during update");
    }

    Tensor weights(start.shape);
    CudaAdamWState state;
    persistent.synchronizeBoundary(weights, state);
    constexpr const char* kDiffers = "persistent AdamW differs from reference state";
    require(maxAbsDifference(weights, reference) < 1e-13, kDiffers);
    require(maxAbsDifference(state.firstMoment, referenceState.firstMoment) < 1e-13, kDiffers);
    require(maxAbsDifference(state.secondMoment, referenceState.secondMoment) < 1e-13, kDiffers);
    require(persistent.stepCount() == 5 && persistent.residentBytes() == 544, kDiffers);
}

void verifyPersistentModelAdamW(const TransformerCudaContext& context) {
    const auto model = fixtureModel();
    const TransformerWeights gradients =
        cudaModelBackward(model->spec(), model->weights(), commonBatch(), commonTargets(), context).gradients;
    CudaModelAdamWState referenceState;
    const CudaModelAdamWState initial;
    const CudaAdamWConfig configuration{0.0002, 0.9, 0.999, 1e-8, 0.01};

    const std::uint64_t before = context.allocator->allocatedBytes();
    PersistentCudaModelAdamW persistent(model->weights(), initial, context);
    const std::uint64_t resident = context.allocator->allocatedBytes();
    require(resident > before && persistent.residentBytes() == resident - before,
            "persistent model optimizer residency mismatch");

    TransformerWeights reference = model->weights();
    for (int step = 0; step < 2; ++step) {
        cudaModelAdamW(reference, gradients, referenceState, configuration, context);
        persistent.step(gradients, configuration);
        require(context.allocator->allocatedBytes() == resident, "persistent model optimizer allocated during update");
    }

    TransformerWeights weights = model->weights();
    persistent.downloadWeights(weights);
    require(maxModelDifference(weights, reference) < 1e-13, "persistent model AdamW weights differ");

    CudaModelAdamWState state;
    persistent.downloadState(state);
    const bool withOutputEmbedding = !reference.output_embedding.empty();
    const auto got = canonicalStates(state, withOutputEmbedding);
    const auto expected = canonicalStates(referenceState, withOutputEmbedding);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        require(maxAbsDifference(got[i]->firstMoment, expected[i]->firstMoment) < 1e-13 &&
                    maxAbsDifference(got[i]->secondMoment, expected[i]->secondMoment) < 1e-13,
                "persistent model AdamW moments differ");
    }
}

}  // namespace Halcyne::Core::Vestra
