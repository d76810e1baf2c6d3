// Device AdamW against the CPU trainer's element update, over shapes that are not multiples of the
// block, several steps and a state that the caller brings; its refusals and failure paths.
#include "cuda/operators/adamw.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "cpu_device/control.h"
#include "cuda/transformer_cuda_error.h"
#include "cuda/transformer_cuda_session.h"
#include "driver/fixtures.h"
#include "support/compare.h"
#include "support/device_operation.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::tensorsNear;

// Step t of the CPU trainer's update (training/transformer_trainer.cpp), for one tensor.
void cpuAdamW(Tensor& w, const Tensor& g, Tensor& m, Tensor& v, std::uint64_t t, const CudaAdamWConfig& c) {
    const double bc1 = 1.0 - std::pow(c.beta1, static_cast<double>(t));
    const double bc2 = 1.0 - std::pow(c.beta2, static_cast<double>(t));
    for (std::size_t j = 0; j < w.values.size(); ++j) {
        const double gj = g.values[j];
        m.values[j] = c.beta1 * m.values[j] + (1.0 - c.beta1) * gj;
        v.values[j] = c.beta2 * v.values[j] + ((1.0 - c.beta2) * gj) * gj;
        const double update =
            (m.values[j] / bc1) / (std::sqrt(v.values[j] / bc2) + c.epsilon) + c.weight_decay * w.values[j];
        w.values[j] -= c.learning_rate * update;
    }
}

Tensor squares(Tensor tensor) {
    for (double& value : tensor.values) {
        value *= value;
    }
    return tensor;
}

TEST(CudaAdamW, MatchesTheCpuUpdateOverShapesStepsAndCarriedState) {
    struct Case {
        Extents shape;
        CudaAdamWConfig configuration;
        std::uint64_t startStep;  // 0: a default state; otherwise moments the caller brings
        std::uint64_t steps;
    };
    const std::vector<Case> cases = {
        {{1}, {}, 0, 2},
        {{257}, {.learning_rate = 0.01, .weight_decay = 0.0}, 0, 3},
        {{3, 5, 7}, {.beta1 = 0.0, .weight_decay = -0.5}, 0, 2},
        {{2, 300}, {.learning_rate = 0.05, .beta2 = 0.9}, 7, 2},
    };
    const TransformerCudaSession session(0);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "elements " << elementCount(c.shape) << ", start " << c.startStep);
        Tensor deviceWeights = uniformTensor(c.shape, 1, 0.5);
        CudaAdamWState state;
        if (c.startStep > 0) {
            state = {uniformTensor(c.shape, 2, 0.1), squares(uniformTensor(c.shape, 3, 0.1)), c.startStep};
        }
        Tensor cpuWeights = deviceWeights;
        Tensor m = c.startStep > 0 ? state.firstMoment : Tensor(c.shape);
        Tensor v = c.startStep > 0 ? state.secondMoment : Tensor(c.shape);
        for (std::uint64_t step = 1; step <= c.steps; ++step) {
            const Tensor gradient = uniformTensor(c.shape, 10 + step, 0.2);
            cudaAdamW(deviceWeights, gradient, state, c.configuration, session.context());
            cpuAdamW(cpuWeights, gradient, m, v, c.startStep + step, c.configuration);
        }
        EXPECT_EQ(state.step, c.startStep + c.steps);
        EXPECT_TRUE(tensorsNear(deviceWeights, cpuWeights, 1e-15));
        EXPECT_TRUE(tensorsNear(state.firstMoment, m, 1e-15));
        EXPECT_TRUE(tensorsNear(state.secondMoment, v, 1e-15));
    }
}

TEST(CudaAdamW, RefusesMalformedArgumentsBeforeDeviceWork) {
    const Tensor weights(Extents{2, 3}, 0.5);
    const Tensor gradient(Extents{2, 3}, 0.1);
    Tensor unfilled(Extents{2, 3});
    unfilled.values.pop_back();
    const auto call = [](Tensor w, Tensor g, CudaAdamWState state, CudaAdamWConfig configuration) {
        return [=](const TransformerCudaContext& context) mutable { cudaAdamW(w, g, state, configuration, context); };
    };
    const CudaAdamWState fresh;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<Testing::Refusal> refusals = {
        {"CUDA AdamW gradient shape mismatch", call(weights, Tensor(Extents{3, 2}), fresh, {})},
        {"CUDA AdamW gradient shape mismatch", call(weights, unfilled, fresh, {})},
        {"CUDA AdamW gradient shape mismatch", call(Tensor(), Tensor(), fresh, {})},
        {"CUDA AdamW state shape mismatch", call(weights, gradient, {Tensor(Extents{6}), Tensor(Extents{6}), 0}, {})},
        {"CUDA AdamW state shape mismatch", call(weights, gradient, {weights, unfilled, 0}, {})},
        {"CUDA AdamW state shape mismatch", call(weights, gradient, {Tensor(), Tensor(), 1}, {})},
        {"invalid CUDA AdamW configuration", call(weights, gradient, fresh, {.learning_rate = 0.0})},
        {"invalid CUDA AdamW configuration", call(weights, gradient, fresh, {.learning_rate = nan})},
        {"invalid CUDA AdamW configuration", call(weights, gradient, fresh, {.beta1 = 1.0})},
        {"invalid CUDA AdamW configuration", call(weights, gradient, fresh, {.beta1 = -0.1})},
        {"invalid CUDA AdamW configuration", call(weights, gradient, fresh, {.beta2 = nan})},
        {"invalid CUDA AdamW configuration", call(weights, gradient, fresh, {.epsilon = 0.0})},
    };
    for (const Testing::Refusal& refusal : refusals) {
        Testing::expectRefusedBeforeDeviceWork(refusal);
    }
}

TEST(CudaAdamW, ReportsEveryDeviceFailureAndAdvancesTheStepOnlyOnceUploaded) {
    const Tensor gradient = uniformTensor({300}, 4, 0.2);
    const auto update = [&](const TransformerCudaContext& context) {
        Tensor weights = uniformTensor({300}, 5, 0.5);
        CudaAdamWState state;
        cudaAdamW(weights, gradient, state, {}, context);
    };
    const Testing::DeviceOperation operation{
        "AdamW",
        update,
        {"upload AdamW weights", "upload AdamW gradient", "upload AdamW first moment", "upload AdamW second moment",
         "download AdamW weights", "download AdamW first moment", "download AdamW second moment"},
        "AdamW kernel",
        1,
        "synchronize AdamW"};
    Testing::expectEveryDeviceFailureReported(operation);
    Testing::expectIncompleteContextRefused(operation);

    const TransformerCudaSession session(0);
    for (const auto& [site, stepAfter] :
         {std::pair{CpuDevice::FaultSite::Copy, 0u}, {CpuDevice::FaultSite::Launch, 1u}}) {
        Tensor weights = uniformTensor({300}, 5, 0.5);
        CudaAdamWState state;
        CpuDevice::injectFault(site, 1, cudaErrorIllegalAddress);
        EXPECT_THROW(cudaAdamW(weights, gradient, state, {}, session.context()), TransformerCudaError);
        EXPECT_EQ(state.step, stepAfter);
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
