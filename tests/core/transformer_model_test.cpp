#include "core/transformer_model.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <utility>

#include "artifacts/vtm_artifact.h"
#include "driver/fixtures.h"
#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;

TEST(TransformerModel, FingerprintsItsArtifact) {
    const std::string tokenizer = "0123456789abcdef";
    const TransformerModel model(fixtureSpec(), fixtureWeights(), tokenizer);
    EXPECT_EQ(model.tokenizerFingerprint(), std::optional<std::string>(tokenizer));
    EXPECT_EQ(model.artifact(), buildVtmArtifact(fixtureSpec(), fixtureWeights(), tokenizer));
    EXPECT_EQ(model.artifactFingerprint(), vtmArtifactChecksum(model.artifact()));
    EXPECT_NE(TransformerModel(fixtureSpec(), fixtureWeights()).artifactFingerprint(), model.artifactFingerprint());
}

// Construction runs the forward once, so the model refuses what the forward refuses (the forward's
// own tests hold each refusal), and it refuses a non-finite weight that the one-token probe does not
// read: with untied embeddings, any input row but token 0's.
TEST(TransformerModel, RefusesWhatTheForwardRefusesAndWeightsItDoesNotRead) {
    TransformerSpec spec = fixtureSpec();
    TransformerWeights weights = fixtureWeights();
    std::swap(weights.layers[0].ffn_down.shape[0], weights.layers[0].ffn_down.shape[1]);
    expectThrowWithMessage<std::invalid_argument>([&] { TransformerModel(spec, weights); },
                                                  "feed-forward down weight has an invalid shape");
    spec.tied_embeddings = false;
    weights = fixtureWeights();
    weights.output_embedding = weights.token_embedding;
    weights.token_embedding.values.back() = std::numeric_limits<double>::infinity();
    expectThrowWithMessage<std::domain_error>([&] { TransformerModel(spec, weights); },
                                              "transformer weights contain NaN/Inf");
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
