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
using Testing::tensorsEqual;
using Testing::variantSpec;
using Testing::variantWeights;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

struct Observed {
    std::string name;
    Tensor tensor;
};

ForwardOptions recordingInto(std::vector<Observed>& seen) {
    ForwardOptions options;
    options.observer = [&seen](std::string_view name, const Tensor& tensor) {
        seen.push_back({std::string(name), tensor});
    };
    return options;
}

TEST(TransformerForward, ObserverSeesEveryActivationInOrder) {
    const TransformerSpec spec = variantSpec({.layers = 2});
    const TransformerWeights weights = variantWeights(spec);
    const TokenBatch batch{2, 3, {1, 2, 3, 4, 5, 6}, {}, {}};
    std::vector<Observed> seen;
    const Tensor logits = transformerForward(spec, weights, batch, recordingInto(seen));

    std::string names, expected = "embedding ";
    for (const Observed& observed : seen) {
        names += observed.name + " ";
    }
    for (const std::string layer : {"layer.0", "layer.1"}) {
        for (const char* name : {".q ", ".k ", ".v ", ".scores ", ".probabilities ", ".attention ", ".mlp "}) {
            expected += layer + name;
        }
    }
    EXPECT_EQ(names, expected + "final_norm logits ");
    EXPECT_EQ(logits.shape, (Extents{2, 3, 11}));
    EXPECT_TRUE(tensorsEqual(seen.back().tensor, logits));
    EXPECT_TRUE(tensorsEqual(transformerForward(spec, weights, batch), logits));

    // In single precision every stored value is rounded; without logits the forward stops after
    // the final norm.
    seen.clear();
    ForwardOptions options = recordingInto(seen);
    options.doublePrecision = false;
    EXPECT_FALSE(transformerForward(spec, weights, batch, options).doublePrecision);
    for (const Observed& observed : seen) {
        for (const double value : observed.tensor.values) {
            ASSERT_EQ(value, static_cast<double>(static_cast<float>(value))) << observed.name;
        }
    }
    seen.clear();
    options.computeLogits = false;
    EXPECT_TRUE(transformerForward(spec, weights, batch, options).values.empty());
    EXPECT_EQ(seen.size(), 16u);
}

TEST(TransformerForward, PaddingStaysZeroAndRowsSeeOnlyTheirEarlierTokens) {
    const TransformerSpec spec = variantSpec({});
    const TransformerWeights weights = variantWeights(spec);
    // Row 1 has length 0 and row 2 length 2; their padding tokens lie outside the vocabulary.
    const TokenBatch batch{3, 4, {1, 2, 3, 4, 99, 99, 99, 99, 5, 6, 99, 99}, {4, 0, 2}, {}};
    std::vector<Observed> seen;
    const Tensor logits = transformerForward(spec, weights, batch, recordingInto(seen));
    for (const Observed& observed : seen) {
        if (observed.name == "embedding" || observed.name.ends_with(".mlp") || observed.name == "final_norm") {
            for (const std::uint64_t row : {4u, 5u, 6u, 7u, 10u, 11u}) {
                for (std::uint64_t d = 0; d < 8; ++d) {
                    EXPECT_EQ(observed.tensor.at({row, d}), 0.0) << observed.name;
                }
            }
        }
    }
    // A row's logits are those of its used prefix alone, and zero beyond it; later tokens do not
    // change earlier logits.
    const Tensor alone = transformerForward(spec, weights, TokenBatch{1, 2, {5, 6}, {}, {}});
    const Tensor changed = transformerForward(spec, weights, TokenBatch{1, 4, {1, 2, 7, 8}, {}, {}});
    for (std::uint64_t s = 0; s < 4; ++s) {
        for (std::uint64_t v = 0; v < 11; ++v) {
            EXPECT_EQ(logits.at({1, s, v}), 0.0);
            EXPECT_EQ(logits.at({2, s, v}), s < 2 ? alone.at({0, s, v}) : 0.0);
            EXPECT_EQ(logits.at({0, s, v}) == changed.at({0, s, v}), s < 2);
        }
    }
}

// validateForwardInputs and the forward refuse the same inputs with the same message.
TEST(ValidateForwardInputs, RefusesEachFaultWithItsMessage) {
    const TransformerSpec spec = variantSpec({.context = 4});
    const TransformerWeights weights = variantWeights(spec);
    const TokenBatch good{2, 4, {1, 2, 3, 4, 5, 6, 7, 8}, {}, {}};
    EXPECT_NO_THROW(validateForwardInputs(spec, weights, good));  // width equal to context
    struct Case {
        const char* message;
        std::function<void(TransformerSpec&, TransformerWeights&, TokenBatch&)> change;
    };
    const char* dimensions = "token batch dimensions are invalid";
    const Case cases[] = {
        {"transformer forward received invalid spec", [](auto& s, auto&, auto&) { s.kv_heads = 3; }},
        {dimensions, [](auto&, auto&, auto& b) { b.batch = 0; }},
        {dimensions, [](auto&, auto&, auto& b) { b.width = 0; }},
        {dimensions, [](auto&, auto&, auto& b) { b.batch = 1, b.width = 5, b.tokens.resize(5); }},
        {"token batch storage does not match shape", [](auto&, auto&, auto& b) { b.tokens.pop_back(); }},
        {"token batch lengths do not match batch size", [](auto&, auto&, auto& b) { b.lengths.assign(1, 4); }},
        {"sequence length exceeds batch width", [](auto&, auto&, auto& b) { b.lengths.assign(2, 4), ++b.lengths[1]; }},
        {"token id exceeds vocabulary", [](auto&, auto&, auto& b) { b.tokens[7] = 11; }},
        {"token embedding has an invalid shape", [](auto&, auto& w, auto&) { w.token_embedding.shape.back() += 1; }},
        {"final norm has an invalid shape", [](auto&, auto& w, auto&) { w.final_norm.shape.push_back(1); }},
        {"weight layer count mismatch", [](auto&, auto& w, auto&) { w.layers.pop_back(); }},
        {"output embedding has an invalid shape", [](auto&, auto& w, auto&) { w.output_embedding = Tensor(); }},
    };
    for (const Case& c : cases) {
        TransformerSpec s = spec;
        TransformerWeights w = weights;
        TokenBatch b = good;
        c.change(s, w, b);
        expectThrowWithMessage<std::exception>([&] { validateForwardInputs(s, w, b); }, c.message);
        expectThrowWithMessage<std::exception>([&] { (void)transformerForward(s, w, b); }, c.message);
    }
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
    for (std::size_t index = 0; index < 9; ++index) {
        TransformerWeights broken = weights;
        std::size_t slot = 0;
        forEachWeightTensor(broken, [&](const WeightSlot& where, Tensor& tensor) {
            if (where.layer == std::size_t{1} && slot++ == index) {
                tensor = Tensor(Extents{tensor.shape.front() + 1});
            }
        });
        std::vector<Observed> seen;
        expectThrowWithMessage<std::invalid_argument>(
            [&] { (void)transformerForward(spec, broken, commonBatch(), recordingInto(seen)); },
            labels[index] + " has an invalid shape");
        // Layer 0 was computed and observed before layer 1 was checked.
        ASSERT_EQ(seen.size(), 8u);
    }
}

TEST(TransformerForward, ReportsNonFiniteValuesAtTheirLevel) {
    const auto refused = [](const TransformerSpec& spec, const TransformerWeights& weights, const char* message) {
        expectThrowWithMessage<std::domain_error>([&] { (void)transformerForward(spec, weights, commonBatch()); },
                                                  message);
    };
    TransformerWeights weights = fixtureWeights();
    weights.token_embedding.at({2, 3}) = nan;  // read by the embedding copy
    refused(fixtureSpec(), weights, "transformer forward produced NaN/Inf");
    weights = fixtureWeights();
    weights.layers[0].ffn_norm.values[0] = nan;  // read by RMSNorm, an operator
    refused(fixtureSpec(), weights, "transformer operator produced NaN/Inf");
    // Overflow in the output projection is the forward's own.
    TransformerSpec untied = fixtureSpec();
    untied.tied_embeddings = false;
    weights = fixtureWeights();
    weights.output_embedding = Tensor(Extents{258, 8}, 1e308);
    refused(untied, weights, "transformer forward produced NaN/Inf");
    const Tensor large(Extents{1, 2}, 1e200);
    expectThrowWithMessage<std::domain_error>([&] { (void)linearForward(large, large, 1, 2, 1, true); },
                                              "transformer forward produced NaN/Inf");
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
