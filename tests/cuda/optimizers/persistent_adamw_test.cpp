// Persistent AdamW: a model optimizer taking over a carried state and stepping like host-state model
// AdamW and the CPU trainer on the same mean gradients, with no allocation during a step; every
// refusal, moved-from handle and a constructor that fails part-way.
#include "cuda/optimizers/persistent_adamw.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cpu_device/control.h"
#include "cuda/operators/model_adamw.h"
#include "cuda/optimizers/persistent_model_adamw.h"
#include "cuda/transformer_cuda_session.h"
#include "support/compare.h"
#include "support/device_operation.h"
#include "support/trainers.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;
using Testing::tensorsEqual;
using Testing::tensorsNear;

TEST(PersistentCudaModelAdamW, ContinuesModelAdamWAndTheCpuTrainerWithoutAllocating) {
    // Two layers, untied; each embedding's 320 elements span two blocks.
    const TransformerSpec spec = Testing::variantSpec({.vocabulary = 40});
    const TransformerWeights start = Testing::variantWeights(spec);
    const TokenBatch batch = Testing::tokenRows(1, 4, {1, 2, 3, 4});
    const std::vector<std::uint32_t> targets = Testing::successors(batch, spec.vocabulary);
    TransformerTrainingConfig config = scenarioTrainingConfig("persistent-model-adamw");
    config.max_gradient_norm = 1e100;
    const CudaAdamWConfig coefficients{config.learning_rate, config.beta1, config.beta2, config.epsilon,
                                       config.weight_decay};

    const TransformerCudaSession session(0);
    TransformerTrainer trainer(spec, start, config);
    TransformerWeights hostState = start;
    CudaModelAdamWState state;
    std::optional<PersistentCudaModelAdamW> persistent;
    for (int step = 1; step <= 3; ++step) {
        // The gradients of the mean loss over the four targets: the trainer's window before its step.
        (void)trainer.accumulate(batch, targets);
        const TransformerWeights gradients = trainer.gradientAccumulator();
        (void)trainer.step();
        cudaModelAdamW(hostState, gradients, state, coefficients, session.context());
        if (step == 1) {  // the persistent optimizer takes over after the first step
            persistent.emplace(hostState, state, session.context());
            continue;
        }
        // Any allocation inside the step would fail and throw.
        CpuDevice::injectFault(CpuDevice::FaultSite::Allocation, 1, Testing::kInjectedFault);
        persistent->step(gradients, coefficients);
        CpuDevice::clearFaults();
    }

    TransformerWeights weights = start;
    persistent->downloadWeights(weights);
    CudaModelAdamWState downloaded;
    persistent->downloadState(downloaded);
    forEachWeightTensor(weights, [&](const WeightSlot& slot, const Tensor& tensor) {
        SCOPED_TRACE(canonicalTensorName(slot));
        EXPECT_TRUE(tensorsEqual(tensor, weightSlotMember(hostState, slot)));
        EXPECT_TRUE(tensorsNear(tensor, weightSlotMember(trainer.weights(), slot), 1e-12));
        const CudaAdamWState& moments = weightSlotMember(downloaded, slot);
        EXPECT_EQ(moments.step, 3u);
        EXPECT_TRUE(tensorsEqual(moments.firstMoment, weightSlotMember(state, slot).firstMoment));
        EXPECT_TRUE(tensorsEqual(moments.secondMoment, weightSlotMember(state, slot).secondMoment));
        EXPECT_TRUE(tensorsNear(moments.firstMoment, weightSlotMember(trainer.firstMoments(), slot), 1e-15));
        EXPECT_TRUE(tensorsNear(moments.secondMoment, weightSlotMember(trainer.secondMoments(), slot), 1e-15));
    });
}

TEST(PersistentCudaAdamW, RefusesMalformedUseAndMovedFromHandles) {
    const TransformerCudaSession session(0);
    const TransformerCudaContext& context = session.context();
    const Tensor weights = uniformTensor({2, 3}, 1, 0.5);
    const Tensor wrongShape(Extents{3, 2});
    CudaAdamWState misshapen{Tensor(weights.shape), wrongShape, 1};
    const CudaAdamWState stepWithoutMoments{Tensor(), Tensor(), 3};
    const TransformerWeights tied = randomWeights(Testing::variantSpec({.layers = 1, .tiedEmbeddings = true}));
    TransformerWeights untied = tied;
    untied.output_embedding = tied.token_embedding;
    TransformerWeights withoutFinalNorm = tied;
    withoutFinalNorm.final_norm = Tensor();
    PersistentCudaAdamW one(weights, {}, context);
    PersistentCudaModelAdamW model(tied, {}, context);
    const std::uint64_t resident = context.allocator->allocatedBytes();

    // std::logic_error is the base of std::invalid_argument and std::out_of_range.
    const std::vector<std::pair<std::string, std::function<void()>>> refusals = {
        {"persistent CUDA AdamW requires non-empty weights", [&] { PersistentCudaAdamW(Tensor(), {}, context); }},
        {"persistent CUDA AdamW state shape mismatch", [&] { PersistentCudaAdamW(weights, misshapen, context); }},
        {"persistent CUDA AdamW missing moments", [&] { PersistentCudaAdamW(weights, stepWithoutMoments, context); }},
        {"invalid persistent CUDA AdamW configuration", [&] { one.step(weights, {.beta1 = 1.0}); }},
        {"persistent CUDA AdamW output state shape mismatch", [&] { one.downloadState(misshapen); }},
        {"persistent CUDA AdamW gradient structure mismatch", [&] { model.step(untied, {}); }},
        {"persistent CUDA AdamW gradient structure mismatch", [&] { model.step(withoutFinalNorm, {}); }},
        {"invalid vector subscript", [&] { model.downloadWeights(untied); }},
        {"persistent CUDA AdamW weight structure mismatch", [&] { model.downloadWeights(withoutFinalNorm); }},
    };
    for (const auto& [message, call] : refusals) {
        expectThrowWithMessage<std::logic_error>(call, message);
        EXPECT_EQ(context.allocator->allocatedBytes(), resident) << message;
    }
    EXPECT_EQ(one.stepCount(), 0u);

    const PersistentCudaAdamW movedOne = std::move(one);
    const PersistentCudaModelAdamW movedModel = std::move(model);
    EXPECT_EQ(movedOne.residentBytes() + movedModel.residentBytes(), resident);
    EXPECT_EQ(one.residentBytes() + model.residentBytes(), 0u);  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(one.stepCount(), 0u);
    expectThrowWithMessage<std::logic_error>([&] { one.step(weights, {}); }, "moved persistent CUDA AdamW state");
    CudaModelAdamWState state;
    expectThrowWithMessage<std::logic_error>([&] { model.downloadState(state); }, "moved persistent CUDA AdamW model");
}

TEST(PersistentCudaModelAdamW, AConstructorFailingPartWayReleasesTheTensorsBuiltBefore) {
    const TransformerWeights model = randomWeights(Testing::tinySpec());
    const TransformerCudaSession session(0);
    CpuDevice::injectFault(CpuDevice::FaultSite::Allocation, 10, Testing::kInjectedFault);  // four per tensor
    expectThrowWithMessage<TransformerCudaError>(
        [&] { PersistentCudaModelAdamW(model, {}, session.context()); },
        std::string("cudaMallocAsync: ") + cudaGetErrorString(Testing::kInjectedFault));
    CpuDevice::clearFaults();
    EXPECT_EQ(session.context().allocator->allocatedBytes(), 0u);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
