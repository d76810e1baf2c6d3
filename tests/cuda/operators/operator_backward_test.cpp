// The device operator backward functions against the CPU reference on shapes beyond the parity
// scenarios (1, odd sizes, sizes that are not multiples of the block), their argument refusals and
// their device failure paths, each as one table over all operators.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "cuda/operators/embedding_backward.h"
#include "cuda/operators/rope_backward.h"
#include "cuda/transformer_cuda_session.h"
#include "driver/fixtures.h"
#include "reference/rope.h"
#include "support/compare.h"
#include "support/device_operation.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::DeviceOperation;
using Testing::Refusal;
using Testing::tensorsEqual;
using Testing::tensorsNear;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A tensor whose values stop one short of its extents.
Tensor unfilled(Extents shape) {
    Tensor tensor(std::move(shape));
    tensor.values.pop_back();
    return tensor;
}

class OperatorBackward : public ::testing::Test {
  protected:
    TransformerCudaSession session{0};
    const TransformerCudaContext& context = session.context();
};

TEST_F(OperatorBackward, RopeIsTheCpuInverseRotation) {
    struct Case {
        std::uint64_t batch, sequence, heads, headDim;
        double base;
    };
    for (const Case& c : {Case{1, 1, 1, 2, 10000.0}, Case{2, 3, 2, 4, 10000.0}, Case{3, 50, 3, 6, 500.0}}) {
        SCOPED_TRACE(::testing::Message() << c.batch << "x" << c.sequence << ", " << c.heads << "x" << c.headDim);
        const Tensor gradient = uniformTensor({c.batch * c.sequence, c.heads * c.headDim}, 7, 1.0);
        Tensor expected = gradient;
        Tensor unused = gradient;
        applyRope(expected, unused, c.batch, c.sequence, c.heads, c.heads, c.headDim, c.base, 0, true, true);
        EXPECT_TRUE(tensorsNear(cudaRopeBackward(gradient, c.batch, c.sequence, c.heads, c.headDim, c.base, context),
                                expected, 1e-15));
    }
}

TEST_F(OperatorBackward, EmbeddingScattersRowsByTokenInTokenOrder) {
    struct Case {
        std::vector<std::uint32_t> tokens;
        std::uint64_t vocabulary, width;
    };
    std::vector<std::uint32_t> many(40);
    for (std::uint32_t t = 0; t < many.size(); ++t) {
        many[t] = (t * 7919u) % 300u;
    }
    for (const Case& c : {Case{{0}, 1, 1}, Case{{2, 1, 2, 4, 1}, 6, 3}, Case{many, 300, 3}}) {
        SCOPED_TRACE(::testing::Message() << c.tokens.size() << " tokens, vocabulary " << c.vocabulary);
        const Tensor gradient = uniformTensor({c.tokens.size(), c.width}, 8, 1.0);
        Tensor expected(Extents{c.vocabulary, c.width});
        for (std::uint64_t t = 0; t < c.tokens.size(); ++t) {
            for (std::uint64_t j = 0; j < c.width; ++j) {
                expected.at({c.tokens[t], j}) += gradient.at({t, j});
            }
        }
        EXPECT_TRUE(tensorsEqual(cudaEmbeddingBackward(c.tokens, gradient, c.vocabulary, context), expected));
    }
}

TEST(OperatorBackwardArguments, MalformedInputsAreRefusedBeforeDeviceWork) {
    const Tensor rope({6, 4});
    const std::uint64_t wraps = (std::uint64_t{1} << 63) + 1;  // wraps * 2 == 2 modulo 2^64
    const auto ropeCall = [](Tensor gradient, std::uint64_t batch, std::uint64_t sequence, std::uint64_t heads,
                             std::uint64_t headDim, double base) {
        return [=](const TransformerCudaContext& context) {
            (void)cudaRopeBackward(gradient, batch, sequence, heads, headDim, base, context);
        };
    };
    const auto embeddingCall = [](std::vector<std::uint32_t> tokens, Tensor gradient, std::uint64_t vocabulary) {
        return [=](const TransformerCudaContext& context) {
            (void)cudaEmbeddingBackward(tokens, gradient, vocabulary, context);
        };
    };
    const Tensor embedding({3, 2});
    const std::vector<Refusal> refusals = {
        {"CUDA RoPE backward shape mismatch", ropeCall(Tensor({6, 6}), 2, 3, 2, 3, 10000.0)},
        {"CUDA RoPE backward shape mismatch", ropeCall(Tensor({6, 4}), 3, 3, 2, 2, 10000.0)},
        {"CUDA RoPE backward shape mismatch", ropeCall(Tensor({2, 3, 4}), 2, 3, 2, 2, 10000.0)},
        {"CUDA RoPE backward shape mismatch", ropeCall(Tensor({2, 4}), wraps, 2, 2, 2, 10000.0)},
        {"CUDA RoPE backward shape mismatch", ropeCall(unfilled({6, 4}), 2, 3, 2, 2, 10000.0)},
        {"CUDA RoPE backward shape mismatch", ropeCall(rope, 2, 3, 2, 2, 0.0)},
        {"CUDA RoPE backward shape mismatch", ropeCall(rope, 2, 3, 2, 2, kNaN)},
        {"CUDA embedding backward shape mismatch", embeddingCall({0, 1, 2}, embedding, 0)},
        {"CUDA embedding backward shape mismatch", embeddingCall({0, 1}, embedding, 4)},
        {"CUDA embedding backward shape mismatch", embeddingCall({0, 1, 2}, Tensor({6}), 4)},
        {"CUDA embedding backward shape mismatch", embeddingCall({0, 1, 2}, unfilled({3, 2}), 4)},
        {"CUDA embedding backward shape mismatch", embeddingCall({0, 1, 2}, embedding, std::uint64_t{1} << 63)},
        {"CUDA embedding token exceeds vocabulary", embeddingCall({0, 4, 2}, embedding, 4)},
    };
    for (const Refusal& refusal : refusals) {
        Testing::expectRefusedBeforeDeviceWork(refusal);
    }
}

TEST(OperatorBackwardFailures, EveryDeviceFailureIsReportedAndReleasesEverything) {
    const Tensor rope = uniformTensor({6, 4}, 1, 1.0);
    const Tensor embedding = uniformTensor({3, 2}, 2, 1.0);
    const std::vector<DeviceOperation> operations = {
        {"RoPE backward",
         [&](const TransformerCudaContext& context) { (void)cudaRopeBackward(rope, 2, 3, 2, 2, 10000.0, context); },
         {"upload RoPE gradient", "download RoPE gradient"},
         "RoPE backward kernel",
         1,
         "synchronize RoPE backward"},
        {"embedding backward",
         [&](const TransformerCudaContext& context) {
             (void)cudaEmbeddingBackward({2, 0, 2}, embedding, 4, context);
         },
         {"upload embedding tokens", "upload embedding gradient", "download embedding gradient"},
         "embedding backward kernel",
         1,
         "synchronize embedding backward"},
    };
    for (const DeviceOperation& operation : operations) {
        Testing::expectEveryDeviceFailureReported(operation);
        Testing::expectIncompleteContextRefused(operation);
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
