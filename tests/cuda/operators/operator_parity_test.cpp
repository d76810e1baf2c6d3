// The device operator functions and the whole-model backward against the CPU reference on shapes
// the parity scenarios leave out: 1, odd sizes, sizes past a block (256 elements, 128 positions or
// key positions) in rows, widths, heads and vocabulary, rows of length 0, grouped KV heads, both
// attention paths, several layers, GELU, untied embeddings, loss masks. Backward functions are
// held against central differences of the CPU forward operators.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <tuple>
#include <vector>

#include "cuda/operators/activation_backward.h"
#include "cuda/operators/attention_backward.h"
#include "cuda/operators/cross_entropy.h"
#include "cuda/operators/embedding_backward.h"
#include "cuda/operators/linear_backward.h"
#include "cuda/operators/model_backward.h"
#include "cuda/operators/rms_norm_backward.h"
#include "cuda/operators/rope_backward.h"
#include "cuda/transformer_cuda_error.h"
#include "cuda/transformer_cuda_session.h"
#include "driver/finite_differences.h"
#include "reference/cross_entropy.h"
#include "reference/feed_forward.h"
#include "reference/linear.h"
#include "reference/rms_norm.h"
#include "reference/rope.h"
#include "reference/tape.h"
#include "support/compare.h"
#include "support/cpu_device_test.h"
#include "support/expect_throw.h"
#include "support/trainers.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::relativelyNear;
using Testing::tensorsEqual;
using Testing::tensorsNear;

// Truncation and rounding stay near 1e-10 for gradients of order 1; a short RMSNorm row with a small
// root mean square has gradients near 10 and errors near 2e-8. A wrong formula or index is off by
// far more.
constexpr double kDifferenceTolerance = 1e-7;

// The problem's shape with seeded tensors.
AttentionBackwardProblem seeded(AttentionBackwardProblem p) {
    const std::uint64_t rows = p.batch * p.sequence;
    p.query = uniformTensor({rows, p.queryHeads * p.headDim}, 1, 0.8);
    p.key = uniformTensor({rows, p.kvHeads * p.headDim}, 2, 0.8);
    p.value = uniformTensor({rows, p.kvHeads * p.headDim}, 3, 0.8);
    p.outputGradient = uniformTensor({rows, p.queryHeads * p.headDim}, 4, 0.5);
    return p;
}

AttentionGradients onPath(const AttentionBackwardProblem& p, AttentionBackwardPath path,
                          const TransformerCudaContext& context) {
    return cudaAttentionBackwardOnPath(p.query, p.key, p.value, p.outputGradient, p.batch, p.sequence, p.queryHeads,
                                       p.kvHeads, p.headDim, p.lengths, path, context);
}

void expectGradientsNear(const AttentionGradients& got, const AttentionGradients& expected, double tolerance) {
    EXPECT_TRUE(tensorsNear(got.query, expected.query, tolerance)) << "query gradient";
    EXPECT_TRUE(tensorsNear(got.key, expected.key, tolerance)) << "key gradient";
    EXPECT_TRUE(tensorsNear(got.value, expected.value, tolerance)) << "value gradient";
}

class OperatorParity : public Testing::CpuDeviceTest {
  protected:
    TransformerCudaSession session{0};
    const TransformerCudaContext& context = session.context();
};

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

// Every element of both linear gradients is the plain sum in increasing index, to the bit: with rows a
// multiple of eight long (a thread's runs side by side) and not (one element at a time), in groups
// cut short by the end of a block and of the tensor.
TEST_F(OperatorParity, LinearBackwardGivesThePlainSumsBitForBit) {
    for (const auto& [rows, in, out] : {std::tuple{70u, 48u, 13u}, {9u, 37u, 300u}}) {
        SCOPED_TRACE(::testing::Message() << rows << "x" << in << " -> " << out);
        const Tensor input = uniformTensor({rows, in}, 21, 1.0);
        const Tensor weights = uniformTensor({out, in}, 22, 1.0);
        const Tensor dy = uniformTensor({rows, out}, 23, 1.0);
        const LinearGradients result = cudaLinearBackward(input, weights, dy, context);
        for (std::uint64_t r = 0; r < rows; ++r) {
            for (std::uint64_t i = 0; i < in; ++i) {
                double sum = 0.0;
                for (std::uint64_t o = 0; o < out; ++o) {
                    sum += dy.values[r * out + o] * weights.values[o * in + i];
                }
                ASSERT_EQ(result.inputGradient.values[r * in + i], sum) << "input gradient " << r << ", " << i;
            }
        }
        for (std::uint64_t o = 0; o < out; ++o) {
            for (std::uint64_t i = 0; i < in; ++i) {
                double sum = 0.0;
                for (std::uint64_t r = 0; r < rows; ++r) {
                    sum += dy.values[r * out + o] * input.values[r * in + i];
                }
                ASSERT_EQ(result.weightGradient.values[o * in + i], sum) << "weight gradient " << o << ", " << i;
            }
        }
    }
}

TEST_F(OperatorParity, LinearRmsNormAndActivationsMatchDifferencesOfTheCpuOperators) {
    for (const auto& [rows, in, out] : {std::tuple{1u, 1u, 1u}, {17u, 19u, 23u}, {3u, 260u, 2u}}) {
        SCOPED_TRACE(::testing::Message() << rows << "x" << in << " -> " << out);
        Tensor input = uniformTensor({rows, in}, 1, 1.0);
        Tensor weights = uniformTensor({out, in}, 2, 1.0);
        const Tensor dy = uniformTensor({rows, out}, 3, 1.0);
        const auto forward = [&] { return linear(input, weights, rows, in, out, true); };
        const LinearGradients result = cudaLinearBackward(input, weights, dy, context);
        EXPECT_TRUE(tensorsNear(result.inputGradient, centralDifferences(input, forward, dy), kDifferenceTolerance));
        EXPECT_TRUE(tensorsNear(result.weightGradient, centralDifferences(weights, forward, dy), kDifferenceTolerance));
    }
    for (const auto& [rows, width] : {std::pair{1u, 1u}, {300u, 3u}, {2u, 260u}}) {
        SCOPED_TRACE(::testing::Message() << "RMSNorm " << rows << "x" << width);
        Tensor input = uniformTensor({rows, width}, 4, 1.0);
        Tensor weights = uniformTensor({width}, 5, 1.0);
        const Tensor dy = uniformTensor({rows, width}, 6, 1.0);
        const auto forward = [&] { return rmsNorm(input, weights, rows, width, 1e-5, true); };
        const RmsNormGradients result = cudaRmsNormBackward(input, weights, dy, 1e-5, context);
        EXPECT_TRUE(tensorsNear(result.inputGradient, centralDifferences(input, forward, dy), kDifferenceTolerance));
        EXPECT_TRUE(tensorsNear(result.weightGradient, centralDifferences(weights, forward, dy), kDifferenceTolerance));
    }
    for (const Extents& shape : {Extents{1, 1}, Extents{2, 3, 43}}) {
        SCOPED_TRACE(::testing::Message() << "activations of " << elementCount(shape) << " elements");
        Tensor gate = uniformTensor(shape, 7, 3.0);
        Tensor up = uniformTensor(shape, 8, 3.0);
        const Tensor dy = uniformTensor(shape, 9, 1.0);
        // Elementwise through the CPU feed-forward: one input of 1 and unit down weights.
        const auto activation = [&](FeedForwardKind kind) {
            Tensor out(up.shape);
            for (std::size_t i = 0; i < up.values.size(); ++i) {
                const Tensor one(Extents{1, 1}, 1.0);
                out.values[i] = feedForward(one, Tensor(Extents{1, 1}, gate.values[i]),
                                            Tensor(Extents{1, 1}, up.values[i]), one, 1, 1, 1, kind, true)
                                    .values[0];
            }
            return out;
        };
        const auto swiGlu = [&] { return activation(FeedForwardKind::SwiGlu); };
        const ActivationGradients gated = cudaActivationBackward(gate, up, dy, FeedForwardKind::SwiGlu, context);
        EXPECT_TRUE(tensorsNear(gated.gateGradient, centralDifferences(gate, swiGlu, dy), kDifferenceTolerance));
        EXPECT_TRUE(tensorsNear(gated.upGradient, centralDifferences(up, swiGlu, dy), kDifferenceTolerance));
        // GELU never reads the gate, so an absent one serves, and none comes back.
        const ActivationGradients plain = cudaActivationBackward(Tensor(), up, dy, FeedForwardKind::Gelu, context);
        EXPECT_TRUE(plain.gateGradient.shape.empty() && plain.gateGradient.values.empty());
        const auto gelu = [&] { return activation(FeedForwardKind::Gelu); };
        EXPECT_TRUE(tensorsNear(plain.upGradient, centralDifferences(up, gelu, dy), kDifferenceTolerance));
    }
}

TEST_F(OperatorParity, RopeIsTheCpuInverseRotationAndEmbeddingScattersInTokenOrder) {
    for (const auto& [batch, sequence, heads, headDim] :
         {std::tuple{1u, 1u, 1u, 2u}, {3u, 50u, 3u, 6u}, {1u, 2u, 2u, 260u}}) {
        SCOPED_TRACE(::testing::Message() << "RoPE " << batch << "x" << sequence << ", " << heads << "x" << headDim);
        const Tensor gradient = uniformTensor({batch * sequence, heads * headDim}, 7, 1.0);
        Tensor expected = gradient;
        Tensor unused = gradient;
        applyRope(expected, unused, batch, sequence, heads, heads, headDim, 500.0, 0, true, true);
        EXPECT_TRUE(
            tensorsNear(cudaRopeBackward(gradient, batch, sequence, heads, headDim, 500.0, context), expected, 1e-15));
    }
    // 40 tokens below 300, some repeated.
    std::vector<std::uint32_t> many(40);
    for (std::uint32_t t = 0; t < many.size(); ++t) {
        many[t] = (t * 7919u) % 37u * 8u;
    }
    for (const auto& [tokens, vocabulary] : {std::pair{std::vector<std::uint32_t>{0}, 1u}, {many, 300u}}) {
        SCOPED_TRACE(::testing::Message() << "embedding of " << tokens.size() << " tokens");
        const Tensor gradient = uniformTensor({tokens.size(), 3}, 8, 1.0);
        Tensor expected(Extents{vocabulary, 3});
        for (std::uint64_t t = 0; t < tokens.size(); ++t) {
            for (std::uint64_t j = 0; j < 3; ++j) {
                expected.at({tokens[t], j}) += gradient.at({t, j});
            }
        }
        EXPECT_TRUE(tensorsEqual(cudaEmbeddingBackward(tokens, gradient, vocabulary, context), expected));
    }
}

TEST_F(OperatorParity, BothAttentionPathsMatchFiniteDifferencesAndEachOther) {
    // Tensors, then batch, sequence, query heads, KV heads, head width and lengths.
    for (const AttentionBackwardProblem& problem : {
             seeded({{}, {}, {}, {}, 3, 5, 4, 2, 3, {5, 0, 2}}),  // full, empty and partial rows; GQA 4/2
             seeded({{}, {}, {}, {}, 2, 7, 2, 2, 4, {}}),         // no lengths: every row full
             seeded({{}, {}, {}, {}, 1, 130, 1, 1, 1, {129}}),    // more key positions than threads in a block
             seeded({{}, {}, {}, {}, 1, 2, 1, 1, 130, {}}),       // a head wider than a block
             // The head widths that run instantiations of their own (and one row short of its length).
             seeded({{}, {}, {}, {}, 2, 6, 4, 2, 8, {6, 5}}),
             seeded({{}, {}, {}, {}, 1, 5, 2, 1, 16, {}}),
             seeded({{}, {}, {}, {}, 1, 4, 2, 2, 32, {}}),
             seeded({{}, {}, {}, {}, 1, 3, 1, 1, 64, {}}),
         }) {
        SCOPED_TRACE(::testing::Message() << "sequence " << problem.sequence << ", heads " << problem.queryHeads << "/"
                                          << problem.kvHeads << ", head width " << problem.headDim);
        const AttentionGradients fused = onPath(problem, AttentionBackwardPath::Fused, context);
        expectGradientsNear(fused, attentionFiniteDifferences(problem), 1e-8);
        expectGradientsNear(onPath(problem, AttentionBackwardPath::ElementParallel, context), fused, 1e-13);
    }
}

TEST_F(OperatorParity, TheSharedMemoryLimitChoosesTheAttentionPath) {
    using Path = AttentionBackwardPath;
    EXPECT_EQ(selectAttentionBackwardPath(0, 1, 1000, 1024), Path::ElementParallel);  // static alone
    EXPECT_EQ(selectAttentionBackwardPath(1, ~std::uint64_t{0}, ~std::uint64_t{0}, 0), Path::ElementParallel);
    // Beside the fused kernels' 1024 bytes of static shared memory, (64 + 1) * 47 * 16 = 48880 bytes
    // exceed the 49152-byte limit, which the CPU device counts as a GPU does: the fused path cannot
    // run 47 positions of width 64, and the device runs element-parallel. Width 63 needs 48128,
    // filling the limit exactly, and the device runs fused: bit for bit that path's results.
    const AttentionBackwardProblem wide = seeded({{}, {}, {}, {}, 1, 47, 1, 1, 64, {}});
    Testing::expectThrowWithMessage<TransformerCudaError>([&] { (void)onPath(wide, Path::Fused, context); },
                                                          "attention backward kernels: invalid argument");
    for (const auto& [problem, path] :
         {std::pair{wide, Path::ElementParallel}, {seeded({{}, {}, {}, {}, 1, 47, 1, 1, 63, {}}), Path::Fused}}) {
        const AttentionGradients expected = onPath(problem, path, context);
        const AttentionGradients device = cudaAttentionBackward(problem, context);
        EXPECT_TRUE(tensorsEqual(device.query, expected.query) && tensorsEqual(device.key, expected.key) &&
                    tensorsEqual(device.value, expected.value))
            << "the device did not choose its path at width " << problem.headDim;
    }
}

TEST_F(OperatorParity, ModelBackwardMatchesTheCpuTapeBackward) {
    struct Case {
        const char* name;
        Testing::SpecShape shape;
        TokenBatch batch;  // tokens are filled in
    };
    for (Case& c : std::vector<Case>{
             {"two layers, SwiGLU, untied, GQA 4/2, lengths 5, 0, 3", {}, {3, 5, {}, {5, 0, 3}, {}}},
             {"three layers, GELU, tied, masked",
              {.layers = 3, .feedForward = FeedForwardKind::Gelu, .tiedEmbeddings = true},
              {2, 4, {}, {}, {1, 0, 1, 1, 0, 0, 1, 0}}},
             {"one KV head per query head, mask of zeros", {.kvHeads = 4}, {2, 3, {}, {3, 2}, {0, 0, 0, 0, 0, 0}}},
         }) {
        SCOPED_TRACE(c.name);
        const TransformerSpec spec = Testing::variantSpec(c.shape);
        const TransformerWeights weights = Testing::variantWeights(spec);
        TokenBatch& batch = c.batch;
        for (std::uint64_t i = 0; i < batch.batch * batch.width; ++i) {
            batch.tokens.push_back(static_cast<std::uint32_t>((3 * i + 1) % spec.vocabulary));
        }
        const std::vector<std::uint32_t> targets = Testing::successors(batch, spec.vocabulary);

        const TransformerForwardTape tape = gradientForward(spec, weights, batch);
        const CrossEntropyResult loss = crossEntropy(tape.logits(), batch, targets);
        const TransformerGradients expected = transformerBackward(tape, loss.logitsGradient);
        const CudaModelBackwardResult got = cudaModelBackward(spec, weights, batch, targets, context);

        EXPECT_NEAR(got.loss, loss.loss, 1e-12 * std::max(1.0, std::abs(loss.loss)));
        ASSERT_EQ(got.gradients.layers.size(), spec.layers);
        forEachWeightTensor(expected, [&](const WeightSlot& slot, const Tensor& gradient) {
            EXPECT_TRUE(relativelyNear(weightSlotMember(got.gradients, slot), gradient, 1e-12))
                << canonicalTensorName(slot);
        });
        EXPECT_EQ(got.gradients.output_embedding.empty(), spec.tied_embeddings);
        EXPECT_TRUE(relativelyNear(got.inputEmbeddingGradient, expected.inputEmbeddings, 1e-12));
    }
}

// The model backward's input rule reads the batch, the targets and the layer count, not the spec's
// ports; and the host forward's linear products pass a non-finite product on instead of refusing it.
TEST_F(OperatorParity, ModelBackwardTakesPortlessSpecsAndCarriesNonFiniteLogits) {
    const TransformerSpec spec = Testing::tinySpec();  // untied embeddings
    TransformerSpec portless = spec;
    portless.ports.clear();
    ASSERT_FALSE(validateTransformerSpec(portless).empty());
    TransformerWeights weights = randomWeights(spec);
    const TokenBatch batch = Testing::tokenRows(1, 3, {1, 2, 3});
    const std::vector<std::uint32_t> targets(3, 0);
    EXPECT_EQ(cudaModelBackward(portless, weights, batch, targets, context).loss,
              cudaModelBackward(spec, weights, batch, targets, context).loss);

    // Every logit of class 0 becomes +inf, -inf or NaN; with target 0 each makes the loss non-finite.
    weights.output_embedding.values[0] = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(std::isfinite(cudaModelBackward(spec, weights, batch, targets, context).loss));
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
