// The device operator functions against the CPU reference on shapes the parity scenarios leave out:
// 1, odd sizes, sizes that are not multiples of the block, rows of length 0, several steps. Backward
// functions are held against central differences of the CPU forward operators.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <tuple>
#include <vector>

#include "cuda/operators/activation_backward.h"
#include "cuda/operators/adamw.h"
#include "cuda/operators/cross_entropy.h"
#include "cuda/operators/embedding_backward.h"
#include "cuda/operators/linear_backward.h"
#include "cuda/operators/rms_norm_backward.h"
#include "cuda/operators/rope_backward.h"
#include "cuda/transformer_cuda_session.h"
#include "driver/finite_differences.h"
#include "driver/fixtures.h"
#include "reference/linear.h"
#include "reference/rms_norm.h"
#include "reference/rope.h"
#include "support/compare.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::tensorsEqual;
using Testing::tensorsNear;

// Truncation and rounding stay near 1e-10 for gradients of order 1; a short RMSNorm row with a small
// root mean square has gradients near 10 and errors near 2e-8. A wrong formula or index is off by
// far more.
constexpr double kDifferenceTolerance = 1e-7;

class OperatorParity : public ::testing::Test {
  protected:
    TransformerCudaSession session{0};
    const TransformerCudaContext& context = session.context();
};

TEST_F(OperatorParity, AdamWFollowsTheCpuUpdateOverStepsAndCarriedState) {
    struct Case {
        Extents shape;
        CudaAdamWConfig configuration;
        std::uint64_t startStep;  // 0: a default state; otherwise moments the caller brings
    };
    for (const Case& c : {Case{{257}, {.beta1 = 0.0, .weight_decay = 0.0}, 0},
                          Case{{3, 5, 7}, {.learning_rate = 0.05, .weight_decay = -0.5}, 7}}) {
        SCOPED_TRACE(::testing::Message() << elementCount(c.shape) << " elements from step " << c.startStep);
        const CudaAdamWConfig& k = c.configuration;
        Tensor weights = uniformTensor(c.shape, 1, 0.5);
        Tensor expected = weights;
        Tensor m = c.startStep > 0 ? uniformTensor(c.shape, 2, 0.1) : Tensor(c.shape);
        Tensor v(c.shape, c.startStep > 0 ? 0.01 : 0.0);
        CudaAdamWState state = c.startStep > 0 ? CudaAdamWState{m, v, c.startStep} : CudaAdamWState{};
        for (std::uint64_t t = c.startStep + 1; t <= c.startStep + 3; ++t) {
            const Tensor g = uniformTensor(c.shape, 10 + t, 0.2);
            cudaAdamW(weights, g, state, k, context);
            // The CPU trainer's element update (training/transformer_trainer.cpp).
            const double bc1 = 1.0 - std::pow(k.beta1, static_cast<double>(t));
            const double bc2 = 1.0 - std::pow(k.beta2, static_cast<double>(t));
            for (std::size_t j = 0; j < g.values.size(); ++j) {
                double& w = expected.values[j];
                m.values[j] = k.beta1 * m.values[j] + (1.0 - k.beta1) * g.values[j];
                v.values[j] = k.beta2 * v.values[j] + ((1.0 - k.beta2) * g.values[j]) * g.values[j];
                w -= k.learning_rate *
                     ((m.values[j] / bc1) / (std::sqrt(v.values[j] / bc2) + k.epsilon) + k.weight_decay * w);
            }
        }
        EXPECT_EQ(state.step, c.startStep + 3);
        EXPECT_TRUE(tensorsNear(weights, expected, 1e-15));
        EXPECT_TRUE(tensorsNear(state.firstMoment, m, 1e-15));
        EXPECT_TRUE(tensorsNear(state.secondMoment, v, 1e-15));
    }
}

TEST_F(OperatorParity, CrossEntropyMatchesTheCpuAndZeroesInactivePositionsExactly) {
    std::vector<std::uint8_t> everyThirdMasked(150);
    for (std::size_t i = 0; i < everyThirdMasked.size(); ++i) {
        everyThirdMasked[i] = i % 3 == 0 ? 0 : static_cast<std::uint8_t>(1 + i % 5);
    }
    struct Case {
        TokenBatch batch;  // tokens are not read
        std::uint64_t vocabulary;
    };
    for (const Case& c : {Case{{1, 1, {}, {}, {}}, 1}, Case{{2, 3, {}, {3, 1}, {}}, 300},
                          Case{{3, 50, {}, {50, 0, 23}, everyThirdMasked}, 7},
                          Case{{2, 65, {}, {}, std::vector<std::uint8_t>(130, 0)}, 5}}) {
        const TokenBatch& batch = c.batch;
        SCOPED_TRACE(::testing::Message() << batch.batch << "x" << batch.width << ", vocabulary " << c.vocabulary);
        const Tensor logits = uniformTensor({batch.batch, batch.width, c.vocabulary}, 3, 4.0);
        std::vector<std::uint32_t> targets(batch.batch * batch.width);
        for (std::size_t i = 0; i < targets.size(); ++i) {
            targets[i] = static_cast<std::uint32_t>((i * 31) % c.vocabulary);
        }
        const CrossEntropyResult expected = crossEntropy(logits, batch, targets);
        const CrossEntropyResult result = cudaCrossEntropy(logits, batch, targets, context);
        EXPECT_NEAR(result.loss, expected.loss, 1e-12);
        EXPECT_TRUE(tensorsNear(result.logitsGradient, expected.logitsGradient, 1e-15));
        for (std::size_t i = 0; i < expected.logitsGradient.values.size(); ++i) {
            if (expected.logitsGradient.values[i] == 0.0) {
                ASSERT_EQ(result.logitsGradient.values[i], 0.0) << "element " << i;
            }
        }
    }
}

TEST_F(OperatorParity, LinearAndRmsNormMatchDifferencesOfTheCpuOperators) {
    for (const auto& [rows, in, out] : {std::tuple{1u, 1u, 1u}, {3u, 5u, 2u}, {17u, 19u, 23u}}) {
        SCOPED_TRACE(::testing::Message() << rows << "x" << in << " -> " << out);
        Tensor input = uniformTensor({rows, in}, 1, 1.0);
        Tensor weights = uniformTensor({out, in}, 2, 1.0);
        const Tensor dy = uniformTensor({rows, out}, 3, 1.0);
        const auto forward = [&] { return linear(input, weights, rows, in, out, true); };
        const LinearGradients result = cudaLinearBackward(input, weights, dy, context);
        EXPECT_TRUE(tensorsNear(result.inputGradient, centralDifferences(input, forward, dy), kDifferenceTolerance));
        EXPECT_TRUE(tensorsNear(result.weightGradient, centralDifferences(weights, forward, dy), kDifferenceTolerance));
    }
    for (const auto& [rows, width] : {std::pair{1u, 1u}, {2u, 7u}, {300u, 3u}}) {
        SCOPED_TRACE(::testing::Message() << "RMSNorm " << rows << "x" << width);
        Tensor input = uniformTensor({rows, width}, 4, 1.0);
        Tensor weights = uniformTensor({width}, 5, 1.0);
        const Tensor dy = uniformTensor({rows, width}, 6, 1.0);
        const auto forward = [&] { return rmsNorm(input, weights, rows, width, 1e-5, true); };
        const RmsNormGradients result = cudaRmsNormBackward(input, weights, dy, 1e-5, context);
        EXPECT_TRUE(tensorsNear(result.inputGradient, centralDifferences(input, forward, dy), kDifferenceTolerance));
        EXPECT_TRUE(tensorsNear(result.weightGradient, centralDifferences(weights, forward, dy), kDifferenceTolerance));
    }
}

TEST_F(OperatorParity, ActivationsMatchDifferencesOfTheCpuActivations) {
    for (const Extents& shape : {Extents{1, 1}, Extents{7, 37}, Extents{2, 3, 43}}) {
        SCOPED_TRACE(::testing::Message() << elementCount(shape) << " elements");
        Tensor gate = uniformTensor(shape, 7, 3.0);
        Tensor up = uniformTensor(shape, 8, 3.0);
        const Tensor dy = uniformTensor(shape, 9, 1.0);
        // Elementwise, as the CPU feed-forward computes them (reference/feed_forward.cpp).
        const auto activation = [&](bool swiGlu) {
            Tensor out(up.shape);
            for (std::size_t i = 0; i < up.values.size(); ++i) {
                const double g = gate.values[i];
                const double u = up.values[i];
                out.values[i] =
                    swiGlu ? (g / (std::exp(-g) + 1.0)) * u : (std::erf(u * 0.7071067811865476) + 1.0) * (u * 0.5);
            }
            return out;
        };
        const auto swiGlu = [&] { return activation(true); };
        const ActivationGradients gated = cudaActivationBackward(gate, up, dy, FeedForwardKind::SwiGlu, context);
        EXPECT_TRUE(tensorsNear(gated.gateGradient, centralDifferences(gate, swiGlu, dy), kDifferenceTolerance));
        EXPECT_TRUE(tensorsNear(gated.upGradient, centralDifferences(up, swiGlu, dy), kDifferenceTolerance));
        // GELU never reads the gate, so an absent one serves, and none comes back.
        const ActivationGradients plain = cudaActivationBackward(Tensor(), up, dy, FeedForwardKind::Gelu, context);
        EXPECT_TRUE(plain.gateGradient.shape.empty() && plain.gateGradient.values.empty());
        EXPECT_TRUE(tensorsNear(plain.upGradient,
                                centralDifferences(
                                    up, [&] { return activation(false); }, dy),
                                kDifferenceTolerance));
    }
}

TEST_F(OperatorParity, RopeIsTheCpuInverseRotationAndEmbeddingScattersInTokenOrder) {
    for (const auto& [batch, sequence, heads, headDim] :
         {std::tuple{1u, 1u, 1u, 2u}, {2u, 3u, 2u, 4u}, {3u, 50u, 3u, 6u}}) {
        SCOPED_TRACE(::testing::Message() << "RoPE " << batch << "x" << sequence << ", " << heads << "x" << headDim);
        const Tensor gradient = uniformTensor({batch * sequence, heads * headDim}, 7, 1.0);
        Tensor expected = gradient;
        Tensor unused = gradient;
        applyRope(expected, unused, batch, sequence, heads, heads, headDim, 500.0, 0, true, true);
        EXPECT_TRUE(
            tensorsNear(cudaRopeBackward(gradient, batch, sequence, heads, headDim, 500.0, context), expected, 1e-15));
    }
    std::vector<std::uint32_t> many(40);
    for (std::uint32_t t = 0; t < many.size(); ++t) {
        many[t] = (t * 7919u) % 300u;
    }
    for (const auto& [tokens, vocabulary, width] : {std::tuple{std::vector<std::uint32_t>{0}, 1u, 1u},
                                                    {std::vector<std::uint32_t>{2, 1, 2, 4, 1}, 6u, 3u},
                                                    {many, 300u, 3u}}) {
        SCOPED_TRACE(::testing::Message() << "embedding of " << tokens.size() << " tokens");
        const Tensor gradient = uniformTensor({tokens.size(), width}, 8, 1.0);
        Tensor expected(Extents{vocabulary, width});
        for (std::uint64_t t = 0; t < tokens.size(); ++t) {
            for (std::uint64_t j = 0; j < width; ++j) {
                expected.at({tokens[t], j}) += gradient.at({t, j});
            }
        }
        EXPECT_TRUE(tensorsEqual(cudaEmbeddingBackward(tokens, gradient, vocabulary, context), expected));
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
