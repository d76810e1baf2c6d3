// Persistent AdamW: a model optimizer stepped N times against N host-state model AdamW calls and N
// CPU trainer steps on the same mean gradients, with no allocation during a step; carried state for
// one tensor; every refusal, moved-from handle and device failure, the constructor's included.
#include "cuda/optimizers/persistent_adamw.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cpu_device/control.h"
#include "cuda/operators/model_adamw.h"
#include "cuda/optimizers/persistent_model_adamw.h"
#include "cuda/transformer_cuda_error.h"
#include "cuda/transformer_cuda_session.h"
#include "reference/cross_entropy.h"
#include "reference/tape.h"
#include "support/compare.h"
#include "support/device_operation.h"
#include "support/expect_throw.h"
#include "support/spec_variants.h"
#include "support/trainers.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;
using Testing::tensorsEqual;
using Testing::tensorsNear;

// The gradients of the batch's mean loss at the given weights, as the CPU trainer accumulates them.
TransformerWeights meanGradients(const TransformerSpec& spec, const TransformerWeights& weights,
                                 const TokenBatch& batch, const std::vector<std::uint32_t>& targets) {
    const TransformerForwardTape tape = gradientForward(spec, weights, batch);
    CrossEntropyResult loss = crossEntropy(tape.logits(), batch, targets);
    const double scale = 1.0 / static_cast<double>(countActiveTargets(batch));
    for (double& value : loss.logitsGradient.values) {
        value *= scale;
    }
    return transformerBackward(tape, loss.logitsGradient);
}

std::uint64_t elementsWithValues(const TransformerWeights& weights) {
    std::uint64_t count = 0;
    forEachWeightTensor(weights, [&](const WeightSlot&, const Tensor& tensor) { count += tensor.values.size(); });
    return count;
}

TEST(PersistentCudaModelAdamW, StepsLikeModelAdamWAndTheCpuTrainerWithoutAllocating) {
    const std::vector<Testing::SpecShape> shapes = {
        {},
        {.layers = 1, .feedForward = FeedForwardKind::Gelu, .tiedEmbeddings = true},
    };
    constexpr int kSteps = 3;
    for (const Testing::SpecShape& shape : shapes) {
        const TransformerSpec spec = Testing::variantSpec(shape);
        SCOPED_TRACE(::testing::Message() << spec.layers << " layers, tied " << spec.tied_embeddings);
        const TransformerWeights start = Testing::variantWeights(spec);
        const TokenBatch batch = Testing::tokenRows(1, 4, {1, 2, 3, 4});
        const std::vector<std::uint32_t> targets = Testing::successors(batch, spec.vocabulary);
        TransformerTrainingConfig config = scenarioTrainingConfig("persistent-model-adamw");
        config.max_gradient_norm = 1e100;
        const CudaAdamWConfig coefficients{config.learning_rate, config.beta1, config.beta2, config.epsilon,
                                           config.weight_decay};

        const TransformerCudaSession session(0);
        const ITransformerDeviceAllocator& allocator = *session.context().allocator;
        PersistentCudaModelAdamW persistent(start, {}, session.context());
        EXPECT_EQ(persistent.residentBytes(), 32 * elementsWithValues(start));
        EXPECT_EQ(allocator.allocatedBytes(), persistent.residentBytes());
        TransformerTrainer trainer(spec, start, config);
        TransformerWeights hostState = start;
        CudaModelAdamWState state;
        for (int step = 0; step < kSteps; ++step) {
            const TransformerWeights gradients = meanGradients(spec, trainer.weights(), batch, targets);
            (void)trainer.accumulate(batch, targets);
            (void)trainer.step();
            cudaModelAdamW(hostState, gradients, state, coefficients, session.context());
            // Any allocation inside the step would fail and throw.
            CpuDevice::injectFault(CpuDevice::FaultSite::Allocation, 1, Testing::kInjectedFault);
            persistent.step(gradients, coefficients);
            CpuDevice::clearFaults();
            EXPECT_EQ(allocator.allocatedBytes(), persistent.residentBytes());
        }

        TransformerWeights weights = start;
        persistent.downloadWeights(weights);
        CudaModelAdamWState downloaded;
        persistent.downloadState(downloaded);
        forEachWeightTensor(weights, [&](const WeightSlot& slot, const Tensor& tensor) {
            SCOPED_TRACE(canonicalTensorName(slot));
            EXPECT_TRUE(tensorsEqual(tensor, weightSlotMember(hostState, slot)));
            EXPECT_TRUE(tensorsNear(tensor, weightSlotMember(trainer.weights(), slot), 1e-12));
            const CudaAdamWState& moments = weightSlotMember(downloaded, slot);
            EXPECT_EQ(moments.step, kSteps);
            EXPECT_TRUE(tensorsEqual(moments.firstMoment, weightSlotMember(state, slot).firstMoment));
            EXPECT_TRUE(tensorsEqual(moments.secondMoment, weightSlotMember(state, slot).secondMoment));
            EXPECT_TRUE(tensorsNear(moments.firstMoment, weightSlotMember(trainer.firstMoments(), slot), 1e-15));
            EXPECT_TRUE(tensorsNear(moments.secondMoment, weightSlotMember(trainer.secondMoments(), slot), 1e-15));
        });
    }
}

TEST(PersistentCudaAdamW, ContinuesACarriedStateLikeHostStateAdamW) {
    const Tensor weights = uniformTensor({3, 7}, 1, 0.5);
    const Tensor gradient = uniformTensor({3, 7}, 2, 0.2);
    Tensor secondMoment = uniformTensor({3, 7}, 4, 0.1);
    for (double& value : secondMoment.values) {
        value *= value;
    }
    const CudaAdamWState carried{uniformTensor({3, 7}, 3, 0.1), secondMoment, 3};
    const CudaAdamWConfig configuration{.learning_rate = 0.01};
    const TransformerCudaSession session(0);

    PersistentCudaAdamW persistent(weights, carried, session.context());
    persistent.step(gradient, configuration);
    Tensor expected = weights;
    CudaAdamWState expectedState = carried;
    cudaAdamW(expected, gradient, expectedState, configuration, session.context());

    Tensor got(weights.shape);
    CudaAdamWState state;  // no moments: downloadState shapes them first
    persistent.synchronizeBoundary(got, state);
    EXPECT_TRUE(tensorsEqual(got, expected));
    EXPECT_TRUE(tensorsEqual(state.firstMoment, expectedState.firstMoment));
    EXPECT_TRUE(tensorsEqual(state.secondMoment, expectedState.secondMoment));
    EXPECT_EQ(state.step, 4u);
}

TEST(PersistentCudaAdamW, RefusesMalformedUseAndMovedFromHandles) {
    const TransformerCudaSession session(0);
    const TransformerCudaContext& context = session.context();
    const Tensor weights = uniformTensor({2, 3}, 1, 0.5);
    const Tensor wrongShape(Extents{3, 2});
    const auto invalid = [](const std::string& message, auto call) {
        expectThrowWithMessage<std::invalid_argument>(call, message);
    };
    invalid("persistent CUDA AdamW requires non-empty weights", [&] { PersistentCudaAdamW(Tensor(), {}, context); });
    invalid("persistent CUDA AdamW state shape mismatch", [&] {
        PersistentCudaAdamW(weights, {Tensor(weights.shape), wrongShape, 1}, context);
    });
    invalid("persistent CUDA AdamW missing moments", [&] { PersistentCudaAdamW(weights, {{}, {}, 3}, context); });

    PersistentCudaAdamW optimizer(weights, {}, context);
    invalid("invalid persistent CUDA AdamW configuration", [&] { optimizer.step(weights, {.beta1 = 1.0}); });
    EXPECT_EQ(optimizer.stepCount(), 0u);
    CudaAdamWState wrongState{Tensor(weights.shape), wrongShape, 0};
    invalid("persistent CUDA AdamW output state shape mismatch", [&] { optimizer.downloadState(wrongState); });

    const PersistentCudaAdamW moved = std::move(optimizer);
    EXPECT_EQ(moved.residentBytes(), 6u * 32u);
    EXPECT_EQ(optimizer.residentBytes(), 0u);  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(optimizer.stepCount(), 0u);
    expectThrowWithMessage<std::logic_error>([&] { optimizer.step(weights, {}); }, "moved persistent CUDA AdamW state");
}

TEST(PersistentCudaModelAdamW, RefusesSetsOfAnotherStructureAndMovedFromHandles) {
    const TransformerCudaSession session(0);
    const TransformerSpec tiedSpec = Testing::variantSpec({.layers = 1, .tiedEmbeddings = true});
    const TransformerWeights tied = randomWeights(tiedSpec);
    TransformerWeights untied = tied;
    untied.output_embedding = tied.token_embedding;
    TransformerWeights withoutFinalNorm = tied;
    withoutFinalNorm.final_norm = Tensor();
    PersistentCudaModelAdamW optimizer(tied, {}, session.context());

    const std::string gradientMismatch = "persistent CUDA AdamW gradient structure mismatch";
    expectThrowWithMessage<std::invalid_argument>([&] { optimizer.step(untied, {}); }, gradientMismatch);
    expectThrowWithMessage<std::invalid_argument>([&] { optimizer.step(withoutFinalNorm, {}); }, gradientMismatch);
    expectThrowWithMessage<std::out_of_range>([&] { optimizer.downloadWeights(untied); }, "invalid vector subscript");
    expectThrowWithMessage<std::invalid_argument>([&] { optimizer.downloadWeights(withoutFinalNorm); },
                                                  "persistent CUDA AdamW weight structure mismatch");

    const PersistentCudaModelAdamW moved = std::move(optimizer);
    EXPECT_GT(moved.residentBytes(), 0u);
    EXPECT_EQ(optimizer.residentBytes(), 0u);  // NOLINT(bugprone-use-after-move)
    CudaModelAdamWState state;
    expectThrowWithMessage<std::logic_error>([&] { optimizer.downloadState(state); },
                                             "moved persistent CUDA AdamW model");
}

// Construction, one step and the boundary downloads, with each device call failing in turn: every
// failure carries its operation's name and leaves no buffer behind, the constructor's included.
TEST(PersistentCudaAdamW, ReportsEveryDeviceFailureAndReleasesItsBuffers) {
    const Tensor weights = uniformTensor({300}, 1, 0.5);
    const CudaAdamWState carried{uniformTensor({300}, 2, 0.1), Tensor(Extents{300}, 0.01), 2};
    Testing::expectEveryDeviceFailureReported({
        .name = "persistent AdamW",
        .call =
            [&](const TransformerCudaContext& context) {
                PersistentCudaAdamW optimizer(weights, carried, context);
                optimizer.step(weights, {});
                Tensor out(weights.shape);
                CudaAdamWState state;
                optimizer.synchronizeBoundary(out, state);
            },
        .copies = {"upload persistent AdamW weights", "upload persistent AdamW first moment",
                   "upload persistent AdamW second moment", "upload persistent AdamW gradient",
                   "download persistent AdamW weights", "download persistent AdamW first moment",
                   "download persistent AdamW second moment"},
        .kernelCheck = "persistent AdamW kernel",
        .launches = 1,
        .synchronize = "synchronize persistent AdamW boundary",
    });

    // The model's constructor, failing inside its third tensor, releases the tensors built before.
    const TransformerSpec spec = Testing::tinySpec();
    const TransformerWeights model = randomWeights(spec);
    const std::string failure = std::string(": ") + cudaGetErrorString(Testing::kInjectedFault);
    const TransformerCudaSession session(0);
    const ITransformerDeviceAllocator& allocator = *session.context().allocator;
    CpuDevice::injectFault(CpuDevice::FaultSite::Allocation, 10, Testing::kInjectedFault);  // four per tensor
    expectThrowWithMessage<TransformerCudaError>([&] { PersistentCudaModelAdamW(model, {}, session.context()); },
                                                 "cudaMallocAsync" + failure);
    CpuDevice::clearFaults();
    EXPECT_EQ(allocator.allocatedBytes(), 0u);
    (void)cudaGetLastError();
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
