#include "core/transformer_model.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <stdexcept>

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

// Construction runs the forward once, so the model refuses whatever the forward refuses.
TEST(TransformerModel, RefusesWhatTheForwardRefuses) {
    struct Case {
        std::function<void(TransformerSpec&, TransformerWeights&)> change;
        const char* message;
    };
    const Case cases[] = {
        {[](auto&, auto& w) {
             w.layers[0].ffn_down = Tensor(Extents{16, 8});
         },
         "feed-forward down weight has an invalid shape"},
        {[](auto& s, auto&) { s.ports.clear(); }, "transformer forward received invalid spec"},
        {[](auto& s, auto&) { s.tied_embeddings = false; }, "output embedding has an invalid shape"},
        // The probe row holds token 0, so a NaN in its embedding row is met.
        {[](auto&, auto& w) {
             w.token_embedding.at({0, 2}) = std::numeric_limits<double>::quiet_NaN();
         },
         "transformer forward produced NaN/Inf"},
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
