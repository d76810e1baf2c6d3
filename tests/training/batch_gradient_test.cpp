#include "training/batch_gradient.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "support/spec_variants.h"
#include "training/named_tensors.h"

namespace Halcyne::Core::Vestra {
namespace {

constexpr std::uint64_t kNoBudget = std::numeric_limits<std::uint64_t>::max();

// Five rows of width 6: full, cut short, empty, with some targets masked out, and full again.
TokenBatch mixedBatch(std::uint32_t vocabulary) {
    TokenBatch batch;
    batch.batch = 5;
    batch.width = 6;
    for (std::uint32_t i = 0; i < 30; ++i) {
        batch.tokens.push_back((i * 7 + 3) % vocabulary);
    }
    batch.lengths = {6, 3, 0, 6, 5};
    batch.lossMask.assign(30, 1);
    batch.lossMask[19] = batch.lossMask[20] = 0;
    return batch;
}

// Recorded in parts, a batch gives the loss and the gradient of one tape of it, to the bit: the
// parts continue each other's sums in the whole sweep's order, the token lookups (and, with tied
// embeddings, the logits' share of the same leaves) included.
TEST(BatchGradient, PartsGiveTheSumsOfOneTapeBitForBit) {
    for (const bool tied : {false, true}) {
        const auto feedForward = tied ? FeedForwardKind::Gelu : FeedForwardKind::SwiGlu;
        SCOPED_TRACE(tied ? "tied, GELU" : "untied, SwiGLU");
        const TransformerSpec spec = Testing::variantSpec({.feedForward = feedForward, .tiedEmbeddings = tied});
        const TransformerWeights weights = Testing::variantWeights(spec);
        const TokenBatch batch = mixedBatch(spec.vocabulary);
        std::vector<std::uint32_t> targets;
        for (const std::uint32_t token : batch.tokens) {
            targets.push_back((token * 5 + 1) % spec.vocabulary);
        }
        const BatchGradient whole = batchGradient(spec, weights, batch, targets, kNoBudget);
        // One row a part (the smallest budget), then two rows a part with a last part of one.
        ASSERT_EQ(tapeRowsPerPart(spec, batch.width, 1), 1u);
        const std::uint64_t twoRows = batchTapeBytes(spec, 2, batch.width, kNoBudget);
        ASSERT_EQ(tapeRowsPerPart(spec, batch.width, twoRows), 2u);
        for (const std::uint64_t budget : {std::uint64_t{1}, twoRows}) {
            const BatchGradient parts = batchGradient(spec, weights, batch, targets, budget);
            EXPECT_EQ(parts.loss, whole.loss);
            const auto got = namedTensors(parts.gradients);
            const auto expected = namedTensors(whole.gradients);
            ASSERT_EQ(got.size(), expected.size());
            for (std::size_t i = 0; i < got.size(); ++i) {
                EXPECT_EQ(got[i].tensor.values, expected[i].tensor.values) << budget << " bytes, " << got[i].name;
            }
        }
    }
}

// A batch in parts is refused as one tape of it would be, before any part is recorded.
TEST(BatchGradient, PartsRefuseWhatOneTapeWould) {
    const TransformerSpec spec = Testing::variantSpec({});
    const TransformerWeights weights = Testing::variantWeights(spec);
    using Edit = std::function<void(TokenBatch&, std::vector<std::uint32_t>&)>;
    const std::uint32_t outside = spec.vocabulary;
    for (const auto& [what, edit] : std::vector<std::pair<const char*, Edit>>{
             {"a target outside the vocabulary", [&](auto&, auto&targets) { targets[0] = outside; }},
             {"no active target", [](auto&batch, auto&) { batch.lossMask.assign(30, 0); }},
             {"a token outside the vocabulary", [&](auto&batch, auto&) { batch.tokens[7] = outside; }}}) {
        SCOPED_TRACE(what);
        TokenBatch batch = mixedBatch(spec.vocabulary);
        std::vector<std::uint32_t> targets(30, 1);
        edit(batch, targets);
        std::string expected;
        try {
            (void)batchGradient(spec, weights, batch, targets, kNoBudget);
        } catch (const std::exception& error) {
            expected = error.what();
        }
        ASSERT_FALSE(expected.empty());
        try {
            (void)batchGradient(spec, weights, batch, targets, 1);
            ADD_FAILURE() << "accepted in parts";
        } catch (const std::exception& error) {
            EXPECT_EQ(error.what(), expected);
        }
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
