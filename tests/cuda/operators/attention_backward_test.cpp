// The device attention backward on the CPU device: both kernel paths against finite differences of
// the CPU attention and against each other, the path choice at the shared-memory limit, and every
// refusal and device failure reported under its name with the allocator back where it started.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cuda/operators/attention_backward.h"
#include "cuda/transformer_cuda_error.h"
#include "cuda/transformer_cuda_session.h"
#include "driver/finite_differences.h"
#include "driver/fixtures.h"
#include "support/compare.h"
#include "support/cpu_device_test.h"
#include "support/device_operation.h"
#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;
using Testing::tensorsNear;

struct Shape {
    std::uint64_t batch;
    std::uint64_t sequence;
    std::uint64_t queryHeads;
    std::uint64_t kvHeads;
    std::uint64_t headDim;
    std::vector<std::uint64_t> lengths;
};

AttentionBackwardProblem problemOf(const Shape& shape) {
    const std::uint64_t rows = shape.batch * shape.sequence;
    const std::uint64_t queryWidth = shape.queryHeads * shape.headDim;
    const std::uint64_t kvWidth = shape.kvHeads * shape.headDim;
    return {uniformTensor({rows, queryWidth}, 1, 0.8),
            uniformTensor({rows, kvWidth}, 2, 0.8),
            uniformTensor({rows, kvWidth}, 3, 0.8),
            uniformTensor({rows, queryWidth}, 4, 0.5),
            shape.batch,
            shape.sequence,
            shape.queryHeads,
            shape.kvHeads,
            shape.headDim,
            shape.lengths};
}

Tensor uniformMatrix(std::uint64_t rows, std::uint64_t columns) {
    return uniformTensor({rows, columns}, 5, 1.0);
}

AttentionGradients onPath(const AttentionBackwardProblem& problem, AttentionBackwardPath path,
                          const TransformerCudaContext& context) {
    return cudaAttentionBackwardOnPath(problem.query, problem.key, problem.value, problem.outputGradient, problem.batch,
                                       problem.sequence, problem.queryHeads, problem.kvHeads, problem.headDim,
                                       problem.lengths, path, context);
}

void expectGradientsNear(const AttentionGradients& got, const AttentionGradients& expected, double tolerance) {
    EXPECT_TRUE(tensorsNear(got.query, expected.query, tolerance)) << "query gradient";
    EXPECT_TRUE(tensorsNear(got.key, expected.key, tolerance)) << "key gradient";
    EXPECT_TRUE(tensorsNear(got.value, expected.value, tolerance)) << "value gradient";
}

// Positions 0..to-1 of every batch row of a [batch * from, width] tensor.
Tensor leadingPositions(const Tensor& tensor, std::uint64_t batch, std::uint64_t from, std::uint64_t to) {
    const std::uint64_t width = tensor.shape[1];
    Tensor result({batch * to, width});
    for (std::uint64_t b = 0; b < batch; ++b) {
        for (std::uint64_t s = 0; s < to; ++s) {
            for (std::uint64_t c = 0; c < width; ++c) {
                result.at({b * to + s, c}) = tensor.at({b * from + s, c});
            }
        }
    }
    return result;
}

class AttentionBackward : public Testing::CpuDeviceTest {
  protected:
    TransformerCudaSession session{0};
    const TransformerCudaContext& context = session.context();
};

TEST_F(AttentionBackward, BothPathsMatchFiniteDifferencesAndEachOther) {
    for (const Shape& shape : {
             Shape{3, 5, 4, 2, 3, {5, 0, 2}},  // full, empty and partial rows; 4 query heads over 2 KV heads
             Shape{2, 7, 2, 2, 4, {}},         // no lengths: every row full
             Shape{1, 130, 1, 1, 1, {129}},    // more key positions than threads in a block
         }) {
        SCOPED_TRACE(::testing::Message() << "sequence " << shape.sequence << ", heads " << shape.queryHeads << "/"
                                          << shape.kvHeads << ", head width " << shape.headDim);
        const AttentionBackwardProblem problem = problemOf(shape);
        const AttentionGradients fused = onPath(problem, AttentionBackwardPath::Fused, context);
        const AttentionGradients elementParallel = onPath(problem, AttentionBackwardPath::ElementParallel, context);
        expectGradientsNear(fused, attentionFiniteDifferences(problem), 1e-8);
        expectGradientsNear(elementParallel, fused, 1e-13);
        // Positions past a row's length get exactly zero, not merely small, gradients.
        for (std::uint64_t b = 0; b < problem.batch; ++b) {
            const std::uint64_t length = problem.lengths.empty() ? problem.sequence : problem.lengths[b];
            for (std::uint64_t s = length; s < problem.sequence; ++s) {
                for (const AttentionGradients* gradients : {&fused, &elementParallel}) {
                    for (const Tensor* tensor : {&gradients->query, &gradients->key, &gradients->value}) {
                        for (std::uint64_t c = 0; c < tensor->shape[1]; ++c) {
                            ASSERT_EQ(tensor->at({b * problem.sequence + s, c}), 0.0)
                                << "row " << b << " position " << s;
                        }
                    }
                }
            }
        }
    }
}

TEST_F(AttentionBackward, TheSharedMemoryLimitChoosesThePath) {
    // (64 + 1) * 48 * 16 = 49920 bytes exceed a 49152-byte limit; 47 positions need 48880.
    EXPECT_EQ(selectAttentionBackwardPath(64, 48, 49152), AttentionBackwardPath::ElementParallel);
    EXPECT_EQ(selectAttentionBackwardPath(64, 47, 49152), AttentionBackwardPath::Fused);
    EXPECT_EQ(selectAttentionBackwardPath(1, ~std::uint64_t{0}, ~std::uint64_t{0}),
              AttentionBackwardPath::ElementParallel);

    // The fused path cannot run 48 positions of width 64 here, so the chosen one is element-parallel.
    // Rows of length at most 47 make this problem the 47-position one plus padding, which the fused
    // path can run.
    const AttentionBackwardProblem wide = problemOf({2, 48, 1, 1, 64, {47, 9}});
    const AttentionGradients chosen = cudaAttentionBackward(wide, context);
    expectThrowWithMessage<TransformerCudaError>([&] { (void)onPath(wide, AttentionBackwardPath::Fused, context); },
                                                 "attention backward kernels: invalid argument");

    AttentionBackwardProblem narrow = wide;
    narrow.sequence = 47;
    for (Tensor* tensor : {&narrow.query, &narrow.key, &narrow.value, &narrow.outputGradient}) {
        *tensor = leadingPositions(*tensor, narrow.batch, 48, 47);
    }
    const AttentionGradients fused = cudaAttentionBackward(narrow, context);
    const AttentionGradients chosenLeading{leadingPositions(chosen.query, 2, 48, 47),
                                           leadingPositions(chosen.key, 2, 48, 47),
                                           leadingPositions(chosen.value, 2, 48, 47)};
    expectGradientsNear(chosenLeading, fused, 1e-13);
}

TEST(AttentionBackwardArguments, MalformedInputsAreRefusedBeforeDeviceWork) {
    using Problem = AttentionBackwardProblem;
    struct Case {
        const char* message;
        std::function<void(Problem&)> spoil;
    };
    constexpr const char* kShape = "CUDA attention backward shape mismatch";
    const std::vector<Case> cases = {
        {kShape, [](Problem& p) { p.queryHeads = 0; }},
        {kShape, [](Problem& p) { p.kvHeads = 0; }},
        {kShape, [](Problem& p) { p.kvHeads = 3; }},
        {kShape, [](Problem& p) { p.headDim = 0; }},
        {kShape, [](Problem& p) { p.sequence = 4; }},
        // 2 * sequence wraps to 6, the rows the tensors have.
        {kShape, [](Problem& p) { p.sequence = (std::uint64_t{1} << 63) + 3; }},
        {kShape, [](Problem& p) { p.query.shape.push_back(1); }},
        {kShape, [](Problem& p) { p.query.values.pop_back(); }},
        {kShape, [](Problem& p) { p.key = uniformMatrix(6, 6); }},
        {kShape, [](Problem& p) { p.value = uniformMatrix(6, 2); }},
        {kShape, [](Problem& p) { p.outputGradient = uniformMatrix(6, 4); }},
        {"CUDA attention backward lengths mismatch", [](Problem& p) { p.lengths.pop_back(); }},
        {"CUDA attention backward length exceeds sequence", [](Problem& p) { p.lengths.back() = 4; }},
    };
    const TransformerCudaSession session(0);
    for (const Case& refused : cases) {
        AttentionBackwardProblem problem = problemOf({2, 3, 4, 2, 2, {3, 1}});
        refused.spoil(problem);
        Testing::expectRefusedBeforeDeviceWork(
            [&](const TransformerCudaContext& context) { (void)cudaAttentionBackward(problem, context); },
            session.context(), refused.message);
    }
}

TEST(AttentionBackwardFailures, EveryDeviceFailureIsReportedAndReleasesEverything) {
    const AttentionBackwardProblem problem = problemOf({2, 3, 4, 2, 2, {3, 1}});
    const std::vector<std::string> copies = {
        "upload attention query",   "upload attention key",    "upload attention value", "upload attention gradient",
        "upload attention lengths", "download query gradient", "download key gradient",  "download value gradient"};
    const std::vector<Testing::DeviceOperation> operations = {
        {"attention backward, device-chosen (fused) path",
         [&](const TransformerCudaContext& context) { (void)cudaAttentionBackward(problem, context); }, copies,
         "attention backward kernels", 2, "synchronize attention backward"},
        {"attention backward, element-parallel path",
         [&](const TransformerCudaContext& context) {
             (void)onPath(problem, AttentionBackwardPath::ElementParallel, context);
         },
         copies, "attention backward kernels", 3, "synchronize attention backward"},
    };
    for (const Testing::DeviceOperation& operation : operations) {
        Testing::expectEveryDeviceFailureReported(operation);
        Testing::expectIncompleteContextRefused(operation);
    }

    // The limit is asked of the context's device; device 1 does not exist.
    const TransformerCudaSession session(0);
    TransformerCudaContext otherDevice = session.context();
    otherDevice.device = 1;
    expectThrowWithMessage<TransformerCudaError>([&] { (void)cudaAttentionBackward(problem, otherDevice); },
                                                 "query attention shared-memory limit: invalid device ordinal");
    EXPECT_EQ(session.context().allocator->allocatedBytes(), 0u);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
