#include "core/transformer_model.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <stdexcept>
#include <type_traits>

#include "artifacts/vtm_artifact.h"
#include "core/transformer_spec.h"
#include "driver/fixtures.h"
#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;

static_assert(!std::is_copy_constructible_v<TransformerModel>, "models are shared, never copied");

std::uint64_t readU64(const Bytes& bytes, std::size_t at) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        value |= std::uint64_t{bytes.at(at + i)} << (8 * i);
    }
    return value;
}

// The tensor count of the artifact's manifest, read past the spec fingerprint and the optional
// tokenizer fingerprint.
std::uint32_t manifestTensorCount(const Bytes& artifact) {
    std::size_t at = vtmHeaderSize + 8;
    if (artifact.at(at++) == 1) {
        at += 4 + static_cast<std::size_t>(readU64(artifact, at) & 0xFFFFFFFFu);
    }
    return static_cast<std::uint32_t>(readU64(artifact, at) & 0xFFFFFFFFu);
}

TEST(TransformerModel, HoldsItsInputsAndFingerprintsItsArtifact) {
    TransformerWeights weights = fixtureWeights();
    const auto model =
        std::make_shared<const TransformerModel>(fixtureSpec(), weights, std::string("0123456789abcdef"));
    weights.final_norm.values[0] = 5.0;  // the model holds its own copy
    EXPECT_EQ(model->weights().final_norm.values[0], fixtureWeights().final_norm.values[0]);
    EXPECT_EQ(transformerSpecIdentity(model->spec()), transformerSpecIdentity(fixtureSpec()));
    EXPECT_EQ(model->tokenizerFingerprint(), std::optional<std::string>("0123456789abcdef"));

    EXPECT_EQ(model->artifact(), buildVtmArtifact(fixtureSpec(), fixtureWeights(), std::string("0123456789abcdef")));
    EXPECT_EQ(model->artifactFingerprint(), readU64(model->artifact(), vtmChecksumOffset));
    EXPECT_EQ(model->artifactFingerprint(), vtmArtifactChecksum(model->artifact()));
    // Tied embeddings: no output embedding is listed.
    EXPECT_EQ(manifestTensorCount(model->artifact()), 11u);
}

TEST(TransformerModel, EqualInputsGiveEqualArtifactsAndAnyChangeShows) {
    const TransformerModel a(fixtureSpec(), fixtureWeights(), std::string("0123456789abcdef"));
    const TransformerModel b(fixtureSpec(), fixtureWeights(), std::string("0123456789abcdef"));
    EXPECT_EQ(a.artifact(), b.artifact());
    EXPECT_EQ(a.artifactFingerprint(), b.artifactFingerprint());

    TransformerWeights changed = fixtureWeights();
    changed.layers[0].value.values[7] += 1e-12;
    const TransformerModel c(fixtureSpec(), changed, std::string("0123456789abcdef"));
    EXPECT_NE(c.artifact(), a.artifact());
    EXPECT_NE(c.artifactFingerprint(), a.artifactFingerprint());

    const TransformerModel anonymous(fixtureSpec(), fixtureWeights());
    EXPECT_FALSE(anonymous.tokenizerFingerprint().has_value());
    EXPECT_EQ(anonymous.artifact().at(vtmHeaderSize + 8), 0u);
    EXPECT_NE(anonymous.artifactFingerprint(), a.artifactFingerprint());
    EXPECT_EQ(manifestTensorCount(anonymous.artifact()), 11u);
}

TEST(TransformerModel, UntiedModelsListTheirOutputEmbedding) {
    TransformerSpec spec = fixtureSpec();
    spec.tied_embeddings = false;
    TransformerWeights weights = fixtureWeights();
    weights.output_embedding = sineTensor({258, 8}, 12.0);
    const TransformerModel model(spec, weights);
    EXPECT_EQ(manifestTensorCount(model.artifact()), 12u);
}

TEST(TransformerModel, RefusesWhatTheForwardRefuses) {
    TransformerWeights transposed = fixtureWeights();
    transposed.layers[0].ffn_down = Tensor(Extents{16, 8});
    expectThrowWithMessage<std::invalid_argument>([&] { TransformerModel model(fixtureSpec(), transposed); },
                                                  "feed-forward down weight has an invalid shape");

    TransformerSpec invalid = fixtureSpec();
    invalid.ports.clear();
    expectThrowWithMessage<std::invalid_argument>([&] { TransformerModel model(invalid, fixtureWeights()); },
                                                  "transformer forward received invalid spec");

    TransformerSpec untied = fixtureSpec();
    untied.tied_embeddings = false;
    expectThrowWithMessage<std::invalid_argument>([&] { TransformerModel model(untied, fixtureWeights()); },
                                                  "output embedding has an invalid shape");

    // The probe row holds token 0, so a NaN in its embedding row is met by the forward.
    TransformerWeights poisoned = fixtureWeights();
    poisoned.token_embedding.at({0, 2}) = std::numeric_limits<double>::quiet_NaN();
    expectThrowWithMessage<std::domain_error>([&] { TransformerModel model(fixtureSpec(), poisoned); },
                                              "transformer forward produced NaN/Inf");
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
