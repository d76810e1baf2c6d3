// The device operator backward functions against the CPU reference on shapes beyond the parity
// scenarios (1, odd sizes, sizes that are not multiples of the block), their argument refusals and
// their device failure paths, each as one table over all operators.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "cuda/operators/activation_backward.h"
#include "cuda/operators/embedding_backward.h"
#include "cuda/operators/linear_backward.h"
#include "cuda/operators/rms_norm_backward.h"
#include "cuda/operators/rope_backward.h"
#include "cuda/transformer_cuda_session.h"
#include "driver/fixtures.h"
#include "reference/linear.h"
#include "reference/rms_norm.h"
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

// Central differences of sum(forward() * outputGradient) with respect to every element of x, which
// forward reads. Truncation and rounding stay near 1e-10 for gradients of order 1; a short RMSNorm
// row with a small root mean square reaches gradients near 10 and errors near 2e-8, which sets the
// tolerance. A wrong formula or index is off by far more.
Tensor finiteDifferences(Tensor& x, const std::function<Tensor()>& forward, const Tensor& outputGradient) {
    constexpr double kStep = 1e-5;
    const auto objective = [&] {
        const Tensor y = forward();
        double sum = 0.0;
        for (std::size_t i = 0; i < y.values.size(); ++i) {
            sum += y.values[i] * outputGradient.values[i];
        }
        return sum;
    };
    Tensor gradient(x.shape);
    for (std::size_t i = 0; i < x.values.size(); ++i) {
        const double saved = x.values[i];
        x.values[i] = saved + kStep;
        const double plus = objective();
        x.values[i] = saved - kStep;
        const double minus = objective();
        x.values[i] = saved;
        gradient.values[i] = (plus - minus) / (2.0 * kStep);
    }
    return gradient;
}

constexpr double kDifferenceTolerance = 1e-7;

// The activations as the CPU feed-forward computes them (reference/feed_forward.cpp), elementwise.
Tensor cpuActivation(const Tensor& gate, const Tensor& up, FeedForwardKind kind) {
    Tensor out(up.shape);
    for (std::size_t i = 0; i < up.values.size(); ++i) {
        const double u = up.values[i];
        if (kind == FeedForwardKind::SwiGlu) {
            const double g = gate.values[i];
            out.values[i] = (g / (std::exp(-g) + 1.0)) * u;
        } else {
            out.values[i] = (std::erf(u * 0.7071067811865476) + 1.0) * (u * 0.5);
        }
    }
    return out;
}

class OperatorBackward : public ::testing::Test {
  protected:
    TransformerCudaSession session{0};
    const TransformerCudaContext& context = session.context();
};

TEST_F(OperatorBackward, LinearMatchesDifferencesOfTheCpuProduct) {
    struct Case {
        std::uint64_t rows, in, out;
    };
    for (const Case& c : {Case{1, 1, 1}, Case{3, 5, 2}, Case{17, 19, 23}}) {
        SCOPED_TRACE(::testing::Message() << c.rows << "x" << c.in << " -> " << c.out);
        Tensor input = uniformTensor({c.rows, c.in}, 1, 1.0);
        Tensor weights = uniformTensor({c.out, c.in}, 2, 1.0);
        const Tensor gradient = uniformTensor({c.rows, c.out}, 3, 1.0);
        const auto forward = [&] { return linear(input, weights, c.rows, c.in, c.out, true); };
        const LinearGradients result = cudaLinearBackward(input, weights, gradient, context);
        EXPECT_TRUE(
            tensorsNear(result.inputGradient, finiteDifferences(input, forward, gradient), kDifferenceTolerance));
        EXPECT_TRUE(
            tensorsNear(result.weightGradient, finiteDifferences(weights, forward, gradient), kDifferenceTolerance));
    }
}

TEST_F(OperatorBackward, RmsNormMatchesDifferencesOfTheCpuNorm) {
    struct Case {
        std::uint64_t rows, width;
    };
    for (const Case& c : {Case{1, 1}, Case{2, 7}, Case{300, 3}}) {
        SCOPED_TRACE(::testing::Message() << c.rows << "x" << c.width);
        Tensor input = uniformTensor({c.rows, c.width}, 4, 1.0);
        Tensor weights = uniformTensor({c.width}, 5, 1.0);
        const Tensor gradient = uniformTensor({c.rows, c.width}, 6, 1.0);
        const auto forward = [&] { return rmsNorm(input, weights, c.rows, c.width, 1e-5, true); };
        const RmsNormGradients result = cudaRmsNormBackward(input, weights, gradient, 1e-5, context);
        EXPECT_TRUE(
            tensorsNear(result.inputGradient, finiteDifferences(input, forward, gradient), kDifferenceTolerance));
        EXPECT_TRUE(
            tensorsNear(result.weightGradient, finiteDifferences(weights, forward, gradient), kDifferenceTolerance));
    }
}

TEST_F(OperatorBackward, ActivationsMatchDifferencesOfTheCpuActivations) {
    for (const Extents& shape : {Extents{1, 1}, Extents{7, 37}, Extents{2, 3, 43}}) {
        SCOPED_TRACE(::testing::Message() << elementCount(shape) << " elements");
        Tensor gate = uniformTensor(shape, 7, 3.0);
        Tensor up = uniformTensor(shape, 8, 3.0);
        const Tensor gradient = uniformTensor(shape, 9, 1.0);

        const auto swiGlu = [&] { return cpuActivation(gate, up, FeedForwardKind::SwiGlu); };
        const ActivationGradients gated = cudaActivationBackward(gate, up, gradient, FeedForwardKind::SwiGlu, context);
        EXPECT_TRUE(tensorsNear(gated.gateGradient, finiteDifferences(gate, swiGlu, gradient), kDifferenceTolerance));
        EXPECT_TRUE(tensorsNear(gated.upGradient, finiteDifferences(up, swiGlu, gradient), kDifferenceTolerance));

        // GELU never reads the gate, so an absent one serves.
        const auto gelu = [&] { return cpuActivation(gate, up, FeedForwardKind::Gelu); };
        const ActivationGradients plain =
            cudaActivationBackward(Tensor(), up, gradient, FeedForwardKind::Gelu, context);
        EXPECT_TRUE(plain.gateGradient.shape.empty() && plain.gateGradient.values.empty());
        EXPECT_TRUE(tensorsNear(plain.upGradient, finiteDifferences(up, gelu, gradient), kDifferenceTolerance));
    }
}

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
    const auto linearCall = [](Tensor input, Tensor weights, Tensor gradient) {
        return
            [=](const TransformerCudaContext& context) { (void)cudaLinearBackward(input, weights, gradient, context); };
    };
    const auto rmsCall = [](Tensor input, Tensor weights, Tensor gradient, double epsilon) {
        return [=](const TransformerCudaContext& context) {
            (void)cudaRmsNormBackward(input, weights, gradient, epsilon, context);
        };
    };
    const auto activationCall = [](Tensor gate, Tensor up, Tensor gradient, FeedForwardKind kind) {
        return [=](const TransformerCudaContext& context) {
            (void)cudaActivationBackward(gate, up, gradient, kind, context);
        };
    };
    const Tensor x({5, 7});
    const Tensor w({4, 7});
    const Tensor dy({5, 4});
    const Tensor norm({7});
    const auto unknownKind = static_cast<FeedForwardKind>(2);
    const Tensor embedding({3, 2});
    const std::vector<Refusal> refusals = {
        {"CUDA linear backward shape mismatch", linearCall(Tensor({5, 7, 1}), w, dy)},
        {"CUDA linear backward shape mismatch", linearCall(x, Tensor({4, 6}), dy)},
        {"CUDA linear backward shape mismatch", linearCall(x, w, Tensor({5, 3}))},
        {"CUDA linear backward shape mismatch", linearCall(x, w, Tensor({4, 4}))},
        {"CUDA linear backward shape mismatch", linearCall(unfilled({5, 7}), w, dy)},
        {"CUDA linear backward shape mismatch", linearCall(x, unfilled({4, 7}), dy)},
        {"CUDA RMSNorm backward shape mismatch", rmsCall(Tensor({35}), Tensor({35}), Tensor({35}), 1e-5)},
        {"CUDA RMSNorm backward shape mismatch", rmsCall(x, Tensor({1, 7}), x, 1e-5)},
        {"CUDA RMSNorm backward shape mismatch", rmsCall(x, Tensor({6}), x, 1e-5)},
        {"CUDA RMSNorm backward shape mismatch", rmsCall(x, norm, Tensor({7, 5}), 1e-5)},
        {"CUDA RMSNorm backward shape mismatch", rmsCall(x, norm, unfilled({5, 7}), 1e-5)},
        {"CUDA RMSNorm backward shape mismatch", rmsCall(x, norm, x, 0.0)},
        {"CUDA RMSNorm backward shape mismatch", rmsCall(x, norm, x, kNaN)},
        {"CUDA activation backward shape mismatch", activationCall(x, x, Tensor({7, 5}), FeedForwardKind::Gelu)},
        {"CUDA activation backward shape mismatch", activationCall(x, unfilled({5, 7}), x, FeedForwardKind::Gelu)},
        {"CUDA activation backward shape mismatch", activationCall(Tensor(), x, x, FeedForwardKind::SwiGlu)},
        {"CUDA activation backward shape mismatch", activationCall(x, x, Tensor({35}), unknownKind)},
        {"unknown CUDA activation backward kind", activationCall(x, x, x, unknownKind)},
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
    const Tensor x = uniformTensor({5, 7}, 3, 1.0);
    const Tensor w = uniformTensor({4, 7}, 4, 1.0);
    const Tensor dy = uniformTensor({5, 4}, 5, 1.0);
    const Tensor norm = uniformTensor({7}, 6, 1.0);
    const std::vector<DeviceOperation> operations = {
        {"linear backward",
         [&](const TransformerCudaContext& context) { (void)cudaLinearBackward(x, w, dy, context); },
         {"upload linear input", "upload linear weights", "upload linear gradient", "download linear input gradient",
          "download linear weight gradient"},
         "linear backward kernels",
         2,
         "synchronize linear backward"},
        {"RMSNorm backward",
         [&](const TransformerCudaContext& context) { (void)cudaRmsNormBackward(x, norm, x, 1e-5, context); },
         {"upload RMS input", "upload RMS weights", "upload RMS gradient", "download RMS input gradient",
          "download RMS weight gradient"},
         "RMSNorm backward kernels",
         3,
         "synchronize RMS backward"},
        {"SwiGLU backward",
         [&](const TransformerCudaContext& context) {
             (void)cudaActivationBackward(x, x, x, FeedForwardKind::SwiGlu, context);
         },
         {"upload activation gate", "upload activation up", "upload activation gradient",
          "download activation gate gradient", "download activation up gradient"},
         "activation backward kernel",
         1,
         "synchronize activation backward"},
        {"GELU backward",
         [&](const TransformerCudaContext& context) {
             (void)cudaActivationBackward(Tensor(), x, x, FeedForwardKind::Gelu, context);
         },
         {"upload activation up", "upload activation gradient", "download activation up gradient"},
         "activation backward kernel",
         1,
         "synchronize activation backward"},
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
