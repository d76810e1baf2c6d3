#include "core/transformer_model.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <stdexcept>
#include <utility>

#include "artifacts/vtm_artifact.h"
#include "driver/fixtures.h"

namespace Halcyne::Core::Vestra {
namespace {

TEST(TransformerModel, FingerprintsItsArtifact) {
    const std::string tokenizer = "0123456789abcdef";
    const TransformerModel model(fixtureSpec(), fixtureWeights(), tokenizer);
    EXPECT_EQ(model.tokenizerFingerprint(), std::optional<std::string>(tokenizer));
    EXPECT_EQ(model.artifact(), buildVtmArtifact(fixtureSpec(), fixtureWeights(), tokenizer));
    EXPECT_EQ(model.artifactFingerprint(), vtmArtifactChecksum(model.artifact()));
    EXPECT_NE(TransformerModel(fixtureSpec(), fixtureWeights()).artifactFingerprint(), model.artifactFingerprint());
}

// Construction runs the forward once, so the model refuses whatever the forward refuses, and it
// refuses a non-finite weight that the probe does not read.
TEST(TransformerModel, RefusesWhatTheForwardRefuses) {
    struct Case {
        std::function<void(TransformerSpec&, TransformerWeights&)> change;
        const char* message;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {[](auto&, auto& w) { std::swap(w.layers[0].ffn_down.shape[0], w.layers[0].ffn_down.shape[1]); },
         "feed-forward down weight has an invalid shape"},
        {[](auto& s, auto&) { s.ports.clear(); }, "transformer forward received invalid spec"},
        {[](auto& s, auto&) { s.tied_embeddings = false; }, "output embedding has an invalid shape"},
        // The probe row holds token 0, so a NaN in its embedding row is met.
        {[&](auto&, auto& w) { w.token_embedding.values[2] = nan; }, "transformer forward produced NaN/Inf"},
        // With untied embeddings the probe reads only token 0's input row; the others must be finite too.
        {[&](auto& s, auto& w) {
             s.tied_embeddings = false;
             w.output_embedding = w.token_embedding;
             w.token_embedding.values.back() = inf;
         },
         "transformer weights contain NaN/Inf"},
    };
    for (const Case& c : cases) {
        TransformerSpec spec = fixtureSpec();
        TransformerWeights weights = fixtureWeights();
        c.change(spec, weights);
        try {
            const TransformerModel model(spec, weights);
            ADD_FAILURE() << "accepted: " << c.message;
        } catch (const std::exception& error) {
            EXPECT_STREQ(error.what(), c.message);
        }
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
