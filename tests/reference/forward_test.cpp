#include "reference/forward.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/fixtures.h"
#include "support/compare.h"
#include "support/expect_throw.h"
#include "support/spec_variants.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;
using Testing::SpecShape;
using Testing::tensorsEqual;
using Testing::variantSpec;
using Testing::variantWeights;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

struct Observed {
    std::string name;
    Extents shape;
    Tensor tensor;
};

ForwardOptions recordingInto(std::vector<Observed>& seen) {
    ForwardOptions options;
    options.observer = [&seen](std::string_view name, const Tensor& tensor) {
        seen.push_back({std::string(name), tensor.shape, tensor});
    };
    return options;
}

TEST(TransformerForward, ObserverSeesEveryActivationInOrder) {
    const TransformerSpec spec = variantSpec({.vocabulary = 11, .layers = 2});
    const TransformerWeights weights = variantWeights(spec);
    const TokenBatch batch{2, 3, {1, 2, 3, 4, 5, 6}, {}, {}};
    std::vector<Observed> seen;
    const Tensor logits = transformerForward(spec, weights, batch, recordingInto(seen));

    const std::uint64_t rows = 6, model = 8, qd = 8, kd = 4;
    std::vector<std::pair<std::string, Extents>> expected{{"embedding", {rows, model}}};
    for (const std::string layer : {"layer.0", "layer.1"}) {
        expected.insert(expected.end(), {{layer + ".q", {rows, qd}},
                                         {layer + ".k", {rows, kd}},
                                         {layer + ".v", {rows, kd}},
                                         {layer + ".scores", {2, 4, 3, 3}},
                                         {layer + ".probabilities", {2, 4, 3, 3}},
                                         {layer + ".attention", {rows, qd}},
                                         {layer + ".mlp", {rows, model}}});
    }
    expected.insert(expected.end(), {{"final_norm", {rows, model}}, {"logits", {2, 3, 11}}});
    ASSERT_EQ(seen.size(), 17u);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].name, expected[i].first);
        EXPECT_EQ(seen[i].shape, expected[i].second) << seen[i].name;
    }
    EXPECT_TRUE(tensorsEqual(seen.back().tensor, logits));
    // Without an observer the result is the same.
    EXPECT_TRUE(tensorsEqual(transformerForward(spec, weights, batch), logits));
}

TEST(TransformerForward, WithoutLogitsStopsAfterTheFinalNorm) {
    const TransformerSpec spec = variantSpec({.layers = 2});
    std::vector<Observed> seen;
    ForwardOptions options = recordingInto(seen);
    options.computeLogits = false;
    const Tensor result = transformerForward(spec, variantWeights(spec), TokenBatch{1, 2, {1, 2}, {}, {}}, options);
    EXPECT_TRUE(result.shape.empty());
    EXPECT_TRUE(result.values.empty());
    EXPECT_TRUE(result.doublePrecision);
    ASSERT_EQ(seen.size(), 16u);
    EXPECT_EQ(seen.back().name, "final_norm");
}

TEST(TransformerForward, PaddingStaysZeroAndIsNeverChecked) {
    const TransformerSpec spec = variantSpec({.vocabulary = 11});
    const TransformerWeights weights = variantWeights(spec);
    // Row 1 has length 0 and row 2 length 2; their padding tokens lie outside the vocabulary.
    const TokenBatch batch{3, 4, {1, 2, 3, 4, 99, 99, 99, 99, 5, 6, 99, 99}, {4, 0, 2}, {}};
    std::vector<Observed> seen;
    const Tensor logits = transformerForward(spec, weights, batch, recordingInto(seen));
    for (std::uint64_t v = 0; v < 11; ++v) {
        for (std::uint64_t s = 0; s < 4; ++s) {
            EXPECT_EQ(logits.at({1, s, v}), 0.0);
        }
        EXPECT_EQ(logits.at({2, 2, v}), 0.0);
        EXPECT_EQ(logits.at({2, 3, v}), 0.0);
    }
    for (const Observed& observed : seen) {
        if (observed.name == "embedding" || observed.name.ends_with(".mlp") || observed.name == "final_norm") {
            for (const std::uint64_t row : {4u, 5u, 6u, 7u, 10u, 11u}) {
                for (std::uint64_t d = 0; d < 8; ++d) {
                    EXPECT_EQ(observed.tensor.at({row, d}), 0.0) << observed.name;
                }
            }
        }
    }
    // A row's logits depend on nothing but its own used prefix.
    const Tensor alone = transformerForward(spec, weights, TokenBatch{1, 2, {5, 6}, {}, {}});
    for (std::uint64_t s = 0; s < 2; ++s) {
        for (std::uint64_t v = 0; v < 11; ++v) {
            EXPECT_EQ(logits.at({2, s, v}), alone.at({0, s, v}));
        }
    }
}

TEST(TransformerForward, LaterTokensDoNotChangeEarlierLogits) {
    const TransformerSpec spec = variantSpec({.feedForward = FeedForwardKind::Gelu, .tiedEmbeddings = true});
    const TransformerWeights weights = variantWeights(spec);
    const Tensor a = transformerForward(spec, weights, TokenBatch{1, 4, {1, 2, 3, 4}, {}, {}});
    const Tensor b = transformerForward(spec, weights, TokenBatch{1, 4, {1, 2, 7, 8}, {}, {}});
    for (std::uint64_t v = 0; v < 11; ++v) {
        EXPECT_EQ(a.at({0, 1, v}), b.at({0, 1, v}));
        EXPECT_NE(a.at({0, 2, v}), b.at({0, 2, v}));
    }
}

TEST(TransformerForward, SinglePrecisionRoundsEveryStoredValue) {
    const TransformerSpec spec = fixtureSpec();
    std::vector<Observed> seen;
    ForwardOptions options = recordingInto(seen);
    options.doublePrecision = false;
    const Tensor logits = transformerForward(spec, fixtureWeights(), commonBatch(), options);
    EXPECT_FALSE(logits.doublePrecision);
    for (const Observed& observed : seen) {
        for (const double value : observed.tensor.values) {
            ASSERT_EQ(value, static_cast<double>(static_cast<float>(value))) << observed.name;
        }
    }
}

TEST(ValidateForwardInputs, RefusesEachFaultWithItsMessage) {
    const TransformerSpec spec = variantSpec({.context = 4});
    const TransformerWeights weights = variantWeights(spec);
    const TokenBatch good{2, 4, {1, 2, 3, 4, 5, 6, 7, 8}, {}, {}};
    EXPECT_NO_THROW(validateForwardInputs(spec, weights, good));  // width equal to context

    const auto refuses = [&]<class Error>(
                             const std::function<void(TransformerSpec&, TransformerWeights&, TokenBatch&)>& change,
                             const std::string& message, Error*) {
        TransformerSpec s = spec;
        TransformerWeights w = weights;
        TokenBatch b = good;
        change(s, w, b);
        expectThrowWithMessage<Error>([&] { validateForwardInputs(s, w, b); }, message);
        expectThrowWithMessage<Error>([&] { (void)transformerForward(s, w, b); }, message);
    };
    std::invalid_argument* invalid = nullptr;
    refuses([](auto& s, auto&, auto&) { s.kv_heads = 3; }, "transformer forward received invalid spec", invalid);
    refuses([](auto&, auto&, auto& b) { b.batch = 0; }, "token batch dimensions are invalid", invalid);
    refuses([](auto&, auto&, auto& b) { b.width = 0; }, "token batch dimensions are invalid", invalid);
    refuses(
        [](auto&, auto&, auto& b) {
            b = TokenBatch{1, 5, {1, 2, 3, 4, 5}, {}, {}};
        },
        "token batch dimensions are invalid", invalid);
    refuses([](auto&, auto&, auto& b) { b.tokens.pop_back(); }, "token batch storage does not match shape", invalid);
    refuses([](auto&, auto&, auto& b) { b.lengths = {4}; }, "token batch lengths do not match batch size", invalid);
    refuses([](auto&, auto&, auto& b) { b.lengths = {4, 5}; }, "sequence length exceeds batch width", invalid);
    std::out_of_range* outOfRange = nullptr;
    refuses([](auto&, auto&, auto& b) { b.tokens[7] = 11; }, "token id exceeds vocabulary", outOfRange);
    refuses(
        [](auto&, auto& w, auto&) {
            w.token_embedding = Tensor(Extents{8, 11});
        },
        "token embedding has an invalid shape", invalid);
    refuses(
        [](auto&, auto& w, auto&) {
            w.final_norm = Tensor(Extents{1, 8});
        },
        "final norm has an invalid shape", invalid);
    refuses([](auto&, auto& w, auto&) { w.layers.pop_back(); }, "weight layer count mismatch", invalid);
    refuses([](auto&, auto& w, auto&) { w.output_embedding = Tensor(); }, "output embedding has an invalid shape",
            invalid);

    // A padding token may be anything; tied embeddings need no output embedding.
    TokenBatch padded = good;
    padded.lengths = {4, 3};
    padded.tokens[7] = 1000;
    EXPECT_NO_THROW(validateForwardInputs(spec, weights, padded));
    TransformerSpec tied = spec;
    tied.tied_embeddings = true;
    TransformerWeights noOutput = weights;
    noOutput.output_embedding = Tensor();
    EXPECT_NO_THROW((void)transformerForward(tied, noOutput, good));
}

TEST(TransformerForward, ChecksEachLayerTensorWhenTheLayerIsReached) {
    const std::string labels[] = {"attention norm",
                                  "query weight",
                                  "key weight",
                                  "value weight",
                                  "attention output weight",
                                  "feed-forward norm",
                                  "feed-forward gate weight",
                                  "feed-forward up weight",
                                  "feed-forward down weight"};
    // GELU never reads the gate, but its shape is checked all the same.
    const TransformerSpec spec = variantSpec({.layers = 2, .feedForward = FeedForwardKind::Gelu});
    const TransformerWeights weights = variantWeights(spec);
    std::size_t index = 0;
    TransformerWeights probe = weights;
    forEachWeightTensor(probe, [&](const WeightSlot& slot, Tensor&) {
        if (slot.layer != std::size_t{1}) {
            return;
        }
        TransformerWeights broken = weights;
        forEachWeightTensor(broken, [&](const WeightSlot& other, Tensor& tensor) {
            if (other.layer == slot.layer && other.name == slot.name) {
                tensor = Tensor(Extents{tensor.shape.front() + 1});
            }
        });
        std::vector<Observed> seen;
        expectThrowWithMessage<std::invalid_argument>(
            [&] { (void)transformerForward(spec, broken, commonBatch(), recordingInto(seen)); },
            labels[index] + " has an invalid shape");
        // Layer 0 was computed and observed before layer 1 was checked.
        ASSERT_EQ(seen.size(), 8u);
        EXPECT_EQ(seen.back().name, "layer.0.mlp");
        ++index;
    });
    EXPECT_EQ(index, 9u);
}

TEST(TransformerForward, ReportsNonFiniteValuesAtTheirLevel) {
    const TransformerSpec spec = fixtureSpec();
    TransformerWeights weights = fixtureWeights();
    weights.token_embedding.at({2, 3}) = nan;  // read by the embedding copy
    expectThrowWithMessage<std::domain_error>([&] { (void)transformerForward(spec, weights, commonBatch()); },
                                              "transformer forward produced NaN/Inf");

    weights = fixtureWeights();
    weights.layers[0].ffn_norm.values[0] = nan;  // read by RMSNorm, an operator
    expectThrowWithMessage<std::domain_error>([&] { (void)transformerForward(spec, weights, commonBatch()); },
                                              "transformer operator produced NaN/Inf");

    // Overflow in the output projection is the forward's own.
    TransformerSpec untied = spec;
    untied.tied_embeddings = false;
    weights = fixtureWeights();
    weights.output_embedding = Tensor(Extents{258, 8}, 1e308);
    expectThrowWithMessage<std::domain_error>([&] { (void)transformerForward(untied, weights, commonBatch()); },
                                              "transformer forward produced NaN/Inf");

    const Tensor large(Extents{1, 2}, 1e200);
    expectThrowWithMessage<std::domain_error>([&] { (void)linearForward(large, large, 1, 2, 1, true); },
                                              "transformer forward produced NaN/Inf");
    expectThrowWithMessage<std::invalid_argument>([&] { (void)linearForward(large, large, 2, 2, 1, true); },
                                                  "linear input has an invalid shape");
    expectThrowWithMessage<std::domain_error>([] { (void)checkForwardValue(nan, true); },
                                              "transformer forward produced NaN/Inf");
    EXPECT_EQ(checkForwardValue(0.1, false), static_cast<double>(0.1f));
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
