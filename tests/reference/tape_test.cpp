#include "reference/tape.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/transformer_weights.h"
#include "driver/fixtures.h"
#include "reference/cross_entropy.h"
#include "reference/tape_recorder.h"
#include "support/compare.h"
#include "support/expect_throw.h"
#include "support/spec_variants.h"
#include "training/named_tensors.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;
using Testing::SpecShape;
using Testing::tensorsEqual;
using Testing::tensorsNear;
using Testing::variantSpec;
using Testing::variantWeights;

struct GradientCase {
    std::string name;
    TransformerSpec spec;
    TransformerWeights weights;
    TokenBatch batch;
    std::vector<std::uint32_t> targets;
};

// Together these cover grouped-query attention (4 query heads over 2 KV heads, and 2 over 1), GELU
// and SwiGLU, tied and untied embeddings, two layers, per-row lengths including 0, and a loss mask.
std::vector<GradientCase> gradientCases() {
    const auto make = [](const char* name, const SpecShape& shape, TokenBatch batch,
                         std::vector<std::uint32_t> targets) {
        const TransformerSpec spec = variantSpec(shape);
        return GradientCase{name, spec, variantWeights(spec), std::move(batch), std::move(targets)};
    };
    // Row 1 has length 0; padding tokens and targets beyond the vocabulary are never read.
    return {
        make("gqa-swiglu-untied-lengths-mask", {},
             {3, 4, {1, 2, 3, 4, 9, 9, 9, 9, 5, 6, 1, 99}, {4, 0, 3}, {1, 1, 0, 1, 1, 1, 1, 1, 0, 1, 1, 1}},
             {2, 3, 4, 5, 99, 99, 99, 99, 6, 7, 8, 99}),
        make("gqa-gelu-tied", {.feedForward = FeedForwardKind::Gelu, .tiedEmbeddings = true},
             {2, 3, {3, 1, 3, 2, 3, 5}, {}, {}}, {1, 3, 2, 3, 5, 0}),
        make("gelu-untied-lengths",
             {.vocabulary = 7,
              .layers = 1,
              .queryHeads = 2,
              .kvHeads = 1,
              .headDim = 4,
              .feedForward = FeedForwardKind::Gelu},
             {2, 3, {1, 2, 3, 4, 5, 6}, {2, 3}, {}}, {2, 3, 0, 5, 6, 1}),
    };
}

double forwardLoss(const GradientCase& c, const TransformerWeights& weights) {
    return crossEntropy(transformerForward(c.spec, weights, c.batch), c.batch, c.targets).loss;
}

TransformerGradients tapeGradients(const GradientCase& c) {
    const TransformerForwardTape tape = gradientForward(c.spec, c.weights, c.batch);
    return transformerBackward(tape, crossEntropy(tape.logits(), c.batch, c.targets).logitsGradient);
}

TEST(TapeGradients, MatchFiniteDifferencesOfTheForwardLoss) {
    for (GradientCase& c : gradientCases()) {
        SCOPED_TRACE(c.name);
        TransformerGradients gradients = tapeGradients(c);
        TransformerWeights perturbed = c.weights;
        const std::vector<NamedTensor> weights = namedTensors(perturbed);
        const std::vector<NamedTensor> grads = namedTensors(gradients);
        ASSERT_EQ(weights.size(), grads.size());
        for (std::size_t t = 0; t < weights.size(); ++t) {
            const std::string name = std::to_string(t) + " " + std::string(weights[t].name);
            Tensor& weight = weights[t].tensor;
            const Tensor& gradient = grads[t].tensor;
            ASSERT_EQ(gradient.shape, weight.shape) << name;
            const double largest = std::abs(*std::ranges::max_element(
                gradient.values, [](double a, double b) { return std::abs(a) < std::abs(b); }));
            // The step follows the tensor's scale: small embedding rows sit right before an RMSNorm
            // and curve sharply, larger projections need a longer step to rise above rounding.
            double squares = 0.0;
            for (const double w : weight.values) {
                squares += w * w;
            }
            const double h = 1e-3 * std::sqrt(squares / static_cast<double>(weight.values.size()));
            for (std::size_t i = 0; i < weight.values.size(); ++i) {
                const double original = weight.values[i];
                const auto lossAt = [&](double offset) {
                    weight.values[i] = original + offset;
                    return forwardLoss(c, perturbed);
                };
                // Five-point central difference: its truncation error is far below the tolerance.
                const double estimate =
                    (8.0 * (lossAt(h) - lossAt(-h)) - (lossAt(2 * h) - lossAt(-2 * h))) / (12.0 * h);
                weight.values[i] = original;
                // Relative to the tensor's largest gradient; an all-zero gradient (the GELU gate)
                // must be matched by an estimate of exactly zero.
                const double tolerance = 1e-7 * largest;
                EXPECT_NEAR(gradient.values[i], estimate, tolerance) << name << " element " << i;
            }
        }
    }
}

// The tape's logits are the forward's, its node count the one reserved for it, and the input
// embedding gradient is what the lookup passes on: with untied embeddings the token embedding
// gradient (checked by finite differences above) is exactly the sum over the positions that looked
// the row up, and padding positions receive nothing.
TEST(TransformerForwardTape, AgreesWithTheForwardAndTheLookup) {
    for (const GradientCase& c : gradientCases()) {
        SCOPED_TRACE(c.name);
        const TransformerForwardTape tape = gradientForward(c.spec, c.weights, c.batch);
        EXPECT_TRUE(tensorsNear(tape.logits(), transformerForward(c.spec, c.weights, c.batch), 1e-14));
        EXPECT_EQ(tape.nodeCount(), tapeNodeCount(c.spec, c.batch));

        const TransformerGradients gradients = tapeGradients(c);
        const std::uint64_t model = c.spec.model_dim;
        ASSERT_EQ(gradients.inputEmbeddings.shape, (Extents{c.batch.batch, c.batch.width, model}));
        Tensor summed(Extents{c.spec.vocabulary, model});
        for (std::uint64_t b = 0; b < c.batch.batch; ++b) {
            const std::uint64_t length = c.batch.lengths.empty() ? c.batch.width : c.batch.lengths[b];
            for (std::uint64_t s = 0; s < c.batch.width; ++s) {
                for (std::uint64_t d = 0; d < model; ++d) {
                    const double g = gradients.inputEmbeddings.at({b, s, d});
                    if (s >= length) {
                        EXPECT_EQ(g, 0.0);
                    } else {
                        summed.at({c.batch.tokens[b * c.batch.width + s], d}) += g;
                    }
                }
            }
        }
        EXPECT_TRUE(c.spec.tied_embeddings || tensorsNear(summed, gradients.token_embedding, 1e-16));
    }
}

// Any gradient at padding logits (row 1 entirely, row 2 position 3) is absorbed.
TEST(TransformerBackward, PaddingGradientsContributeNothing) {
    const GradientCase c = gradientCases().front();
    const TransformerForwardTape tape = gradientForward(c.spec, c.weights, c.batch);
    const Tensor logitsGradient = crossEntropy(tape.logits(), c.batch, c.targets).logitsGradient;
    Tensor noisy = logitsGradient;
    for (std::uint64_t v = 0; v < c.spec.vocabulary; ++v) {
        for (std::uint64_t s = 0; s < 4; ++s) {
            noisy.at({1, s, v}) = 1000.0 + static_cast<double>(v);
        }
        noisy.at({2, 3, v}) = -5.0;
    }
    const TransformerGradients clean = transformerBackward(tape, logitsGradient);
    const TransformerGradients padded = transformerBackward(tape, noisy);
    EXPECT_EQ(maxModelDifference(clean, padded), 0.0);
    EXPECT_TRUE(tensorsEqual(clean.inputEmbeddings, padded.inputEmbeddings));
}

TEST(TransformerBackward, ObserverSeesTokenEmbeddingThenInputEmbeddings) {
    const GradientCase c = gradientCases().back();
    const TransformerForwardTape tape = gradientForward(c.spec, c.weights, c.batch);
    std::vector<std::pair<std::string, Tensor>> seen;
    const TransformerGradients gradients =
        transformerBackward(tape, crossEntropy(tape.logits(), c.batch, c.targets).logitsGradient,
                            [&](std::string_view name, const Tensor& tensor) { seen.emplace_back(name, tensor); });
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].first, "token_embedding");
    EXPECT_TRUE(tensorsEqual(seen[0].second, gradients.token_embedding));
    EXPECT_EQ(seen[1].first, "input_embeddings");
    EXPECT_TRUE(tensorsEqual(seen[1].second, gradients.inputEmbeddings));
}

TEST(TransformerBackward, RefusesEmptyTapesAndMismatchedGradients) {
    const TransformerForwardTape empty;
    const TransformerForwardTape tape = gradientForward(fixtureSpec(), fixtureWeights(), commonBatch());
    const Tensor logitsShaped(Extents{1, 4, 258}), flat(Extents{4, 258});
    expectThrowWithMessage<std::logic_error>([&] { (void)empty.logits(); }, "empty transformer forward tape");
    expectThrowWithMessage<std::invalid_argument>([&] { (void)transformerBackward(empty, logitsShaped); },
                                                  "backward requires a non-empty tape");
    expectThrowWithMessage<std::invalid_argument>([&] { (void)transformerBackward(tape, flat); },
                                                  "logits gradient shape mismatch");
}

// Tapes and backwards reuse the node array and adjoints that an earlier tape and backward left
// behind, full of that tape's values: what is recorded and swept there must equal what fresh arrays
// give, bit for bit.
TEST(TapeStorage, KeptArraysGiveTheResultsOfFreshOnes) {
    const GradientCase c = gradientCases().front();
    GradientCase other = c;
    for (double& value : other.weights.token_embedding.values) {
        value *= 0.5;
    }
    std::vector<TapeNode> expectedNodes;
    TransformerGradients expected;
    {
        // While `held` has the kept array, `fresh` is recorded into a new one.
        const TransformerForwardTape held = gradientForward(other.spec, other.weights, other.batch);
        const TransformerForwardTape fresh = gradientForward(c.spec, c.weights, c.batch);
        expectedNodes = fresh.data().nodes;
        expected = transformerBackward(fresh, crossEntropy(fresh.logits(), c.batch, c.targets).logitsGradient);
    }
    const TapeNode* otherStorage = nullptr;
    {
        const TransformerForwardTape dirty = gradientForward(other.spec, other.weights, other.batch);
        otherStorage = dirty.data().nodes.data();
        (void)transformerBackward(dirty, crossEntropy(dirty.logits(), other.batch, other.targets).logitsGradient);
    }
    const TransformerForwardTape tape = gradientForward(c.spec, c.weights, c.batch);
    EXPECT_EQ(tape.data().nodes.data(), otherStorage) << "the kept array was not reused";
    ASSERT_EQ(tape.data().nodes.size(), expectedNodes.size());
    for (std::size_t n = 0; n < expectedNodes.size(); ++n) {
        const TapeNode& got = tape.data().nodes[n];
        const TapeNode& want = expectedNodes[n];
        ASSERT_TRUE(std::memcmp(&got, &want, sizeof got) == 0) << "node " << n;
    }
    const TransformerGradients gradients =
        transformerBackward(tape, crossEntropy(tape.logits(), c.batch, c.targets).logitsGradient);
    EXPECT_EQ(maxModelDifference(gradients, expected), 0.0);
    EXPECT_TRUE(tensorsEqual(gradients.inputEmbeddings, expected.inputEmbeddings));
}

// Tapes as small as the ones above are written with ordinary stores; a large one with streaming
// stores, which must write the same nodes, also once the array sized up front runs out. A chain of
// sums is checked by its last sum.
TEST(TapeRecorder, StreamingStoresWriteWhatOrdinaryStoresWrite) {
    using namespace TapeRecording;
    const Tensor weight = sineTensor({3, 4}, 1.0);
    const auto record = [&](bool streaming) {
        std::vector<TapeNode> nodes(5);
        Recorder tape(nodes, streaming);
        const WeightVars w = tape.leaves(weight);
        const std::uint64_t zeros = tape.zeros(2);
        VarList x{tape.constant(0.75), tape.copy(w[5])};
        const TapeVar e = tape.exp(x[0]);
        x.push_back(tape.divide(e, tape.sqrt(tape.add(x[0], x[1]))));
        x.push_back(tape.erf(tape.subtract(x[2], tape.multiply(x[0], x[1]))));
        const TapeVar dot = tape.dotProduct(
            x.data(), [&](std::uint64_t k) { return w[4 + k]; }, 4);
        VarList sums{{zeros, 0.0}, {zeros + 1, 0.0}};
        tape.addScaled(sums.data(), dot, x.data() + 1, 2);
        tape.finish();
        return nodes;
    };
    const std::vector<TapeNode> streamed = record(true);
    const std::vector<TapeNode> ordinary = record(false);
    ASSERT_EQ(ordinary.size(), 12u + 2 + 9 + 9 + 4);
    ASSERT_EQ(streamed.size(), ordinary.size());
    EXPECT_EQ(std::memcmp(streamed.data(), ordinary.data(), streamed.size() * sizeof(TapeNode)), 0);

    std::vector<TapeNode> nodes(8);
    Recorder tape(nodes, true);
    const VarList large{tape.constant(1e200), tape.constant(1.0)};
    expectThrowWithMessage<std::domain_error>(
        [&] {
            (void)tape.dotProduct(
                large.data(), [&](std::uint64_t k) { return large[k]; }, 2);
        },
        "gradient forward produced NaN/Inf");
}

TEST(GradientForward, ValidatesThroughTheForwardAndChecksEveryLeaf) {
    const TransformerSpec spec = fixtureSpec();
    TransformerWeights weights = fixtureWeights();
    weights.layers[0].query.values[5] = std::numeric_limits<double>::quiet_NaN();
    expectThrowWithMessage<std::domain_error>([&] { (void)gradientForward(spec, weights, commonBatch()); },
                                              "transformer forward produced NaN/Inf");

    // A NaN in a token embedding row that no token uses passes the forward (untied embeddings) and
    // is caught when the leaves are recorded.
    TransformerSpec untied = spec;
    untied.tied_embeddings = false;
    weights = fixtureWeights();
    weights.output_embedding = sineTensor({258, 8}, 12.0);
    weights.token_embedding.at({200, 1}) = std::numeric_limits<double>::infinity();
    EXPECT_NO_THROW((void)transformerForward(untied, weights, commonBatch()));
    expectThrowWithMessage<std::domain_error>([&] { (void)gradientForward(untied, weights, commonBatch()); },
                                              "gradient forward produced NaN/Inf");
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
