#include "driver/fixtures.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "artifacts/byte_tokenizer.h"
#include "artifacts/vtm_artifact.h"
#include "core/transformer_spec.h"
#include "support/compare.h"
#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;
using Testing::tensorsEqual;

std::uint64_t readU64(const Bytes& bytes, std::size_t at) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        value |= std::uint64_t{bytes.at(at + i)} << (8 * i);
    }
    return value;
}

// Every canonical tensor of a weight set has the shape its spec gives it.
void expectLayoutOf(const TransformerSpec& spec, const TransformerWeights& weights) {
    forEachWeightTensor(weights, [&](const WeightSlot& slot, const Tensor& tensor) {
        EXPECT_EQ(tensor.shape, expectedWeightShape(spec, slot.tensor)) << canonicalTensorName(slot);
    });
    EXPECT_EQ(weights.layers.size(), spec.layers);
    EXPECT_EQ(weights.output_embedding.values.empty(), spec.tied_embeddings);
}

TEST(FixtureSpec, IsTheWorkedExampleSpecification) {
    const TransformerSpec spec = fixtureSpec();
    EXPECT_TRUE(validateTransformerSpec(spec).empty());
    EXPECT_EQ(transformerSpecFingerprint(spec), 0x2f2a7f8d28135c50ULL);
    EXPECT_EQ(transformerParameterCount(spec).count, 2664u);
}

TEST(CommunitySpec, IsTheFixtureAtCommunityScale) {
    const TransformerSpec spec = communitySpec();
    EXPECT_TRUE(validateTransformerSpec(spec).empty());
    TransformerSpec expected = fixtureSpec();
    expected.layers = 3;
    expected.model_dim = 48;
    expected.ffn_dim = 128;
    expected.query_heads = 6;
    expected.kv_heads = 2;
    expected.head_dim = 8;
    EXPECT_EQ(transformerSpecIdentity(spec), transformerSpecIdentity(expected));
}

TEST(SineTensor, FollowsTheWorkedValues) {
    const Tensor tensor = sineTensor({2, 2}, 1.0);
    EXPECT_EQ(tensor.shape, (Extents{2, 2}));
    EXPECT_EQ(tensor.values[0], 0.03 * std::sin(1.0));
    EXPECT_EQ(tensor.values[1], 0.03 * std::sin(1.13));
    EXPECT_NEAR(tensor.values[2], 0.03 * std::sin(1.26), 1e-18);
}

TEST(FixtureWeights, FillEveryTensorOfTheFixtureLayout) {
    const TransformerWeights weights = fixtureWeights();
    expectLayoutOf(fixtureSpec(), weights);
    EXPECT_EQ(canonicalTensorNames(weights).size(), 11u);
    EXPECT_EQ(weights.token_embedding.values[0], 0.03 * std::sin(1.0));
    EXPECT_EQ(weights.layers[0].attention_norm.values[0], 1.0 + 0.03 * std::sin(2.0));
    EXPECT_EQ(weights.layers[0].ffn_down.values[127], 0.03 * std::sin(0.13 * 127.0 + 10.0));
    EXPECT_EQ(weights.final_norm.values[7], 1.0 + 0.03 * std::sin(0.13 * 7.0 + 11.0));
}

TEST(FixtureModel, IsBuiltForTheByteTokenizer) {
    const auto model = fixtureModel();
    EXPECT_EQ(model->tokenizerFingerprint(), std::optional<std::string>(ByteTokenizer().contract().fingerprint));
    EXPECT_EQ(readU64(model->artifact(), 24), 2664u * 8u);  // payload length
    EXPECT_EQ(model->artifactFingerprint(), vtmArtifactChecksum(model->artifact()));
    EXPECT_EQ(model->artifact(), fixtureModel()->artifact());
}

TEST(FixtureRandom, IsTheSeededXorshiftStream) {
    FixtureRandom random(1);
    EXPECT_EQ(random.next(1.0), -0.9939977599452632);
    EXPECT_EQ(random.next(1.0), -0.34035828931698364);
    EXPECT_EQ(random.next(1.0), -0.5737883790803624);
    EXPECT_EQ(uniformTensor({2}, 80, 0.02).values[0], -0.01727491959963253);

    FixtureRandom a(7);
    FixtureRandom b(7);
    double lowest = 1.0, highest = -1.0;
    for (int i = 0; i < 10000; ++i) {
        const double value = a.next(1.0);
        ASSERT_EQ(value, b.next(1.0));
        lowest = std::min(lowest, value);
        highest = std::max(highest, value);
    }
    EXPECT_GE(lowest, -1.0);
    EXPECT_LT(highest, 1.0);
    EXPECT_LT(lowest, -0.99);
    EXPECT_GT(highest, 0.99);
}

TEST(XavierTensors, AreScaledUniformTensors) {
    const Tensor xavier = xavierTensor({3, 5}, 4, 3, 5);
    EXPECT_TRUE(tensorsEqual(xavier, uniformTensor({3, 5}, 4, std::sqrt(6.0 / 8.0))));
    const Tensor scaled = scaledXavierTensor({3, 5}, 4, 3, 5, 2);
    for (std::size_t i = 0; i < scaled.values.size(); ++i) {
        EXPECT_EQ(scaled.values[i], xavier.values[i] * (1.0 / std::sqrt(4.0)));
    }
}

TEST(RandomWeights, SeedEveryTensorByItsRoleAndLayer) {
    TransformerSpec spec = communitySpec();
    spec.feed_forward = FeedForwardKind::Gelu;
    spec.tied_embeddings = false;
    const TransformerWeights weights = randomWeights(spec);
    expectLayoutOf(spec, weights);
    EXPECT_TRUE(tensorsEqual(weights.token_embedding, uniformTensor({258, 48}, 1, 0.02)));
    EXPECT_TRUE(tensorsEqual(weights.output_embedding, uniformTensor({258, 48}, 80, 0.02)));
    EXPECT_TRUE(tensorsEqual(weights.final_norm, Tensor(Extents{48}, 1.0)));
    const TransformerLayerWeights& last = weights.layers[2];
    EXPECT_TRUE(tensorsEqual(last.attention_norm, Tensor(Extents{48}, 1.0)));
    EXPECT_TRUE(tensorsEqual(last.query, xavierTensor({48, 48}, 12, 48, 48)));
    EXPECT_TRUE(tensorsEqual(last.key, xavierTensor({16, 48}, 22, 16, 48)));
    EXPECT_TRUE(tensorsEqual(last.value, xavierTensor({16, 48}, 32, 16, 48)));
    EXPECT_TRUE(tensorsEqual(last.attention_output, scaledXavierTensor({48, 48}, 42, 48, 48, 3)));
    EXPECT_TRUE(tensorsEqual(last.ffn_gate, xavierTensor({128, 48}, 52, 128, 48)));  // built for GELU too
    EXPECT_TRUE(tensorsEqual(last.ffn_up, xavierTensor({128, 48}, 62, 128, 48)));
    EXPECT_TRUE(tensorsEqual(last.ffn_down, scaledXavierTensor({48, 128}, 72, 128, 48, 3)));

    expectLayoutOf(communitySpec(), randomWeights(communitySpec()));
}

TEST(MaxModelDifference, TakesTheLargestDifferenceOverEveryTensor) {
    const TransformerWeights a = fixtureWeights();
    TransformerWeights b = a;
    EXPECT_EQ(maxModelDifference(a, b), 0.0);
    b.layers[0].ffn_down.values[3] += 0.25;
    b.token_embedding.values[9] -= 0.125;
    EXPECT_EQ(maxModelDifference(a, b), 0.25);
    // A NaN never raises the maximum.
    b.final_norm.values[0] = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(maxModelDifference(a, b), 0.25);
}

TEST(MaxModelDifference, NamesTheFirstTensorWhoseShapeDiffers) {
    const TransformerWeights a = fixtureWeights();
    const auto refused = [&](const TransformerWeights& b, const std::string& message) {
        expectThrowWithMessage<std::runtime_error>([&] { (void)maxModelDifference(a, b); }, message);
    };
    TransformerWeights b = a;
    b.layers[0].ffn_up = Tensor(Extents{8, 16});
    b.layers[0].key = Tensor(Extents{8, 4});
    refused(b, "model gradient shape differs: key");
    b = a;
    b.layers.push_back(b.layers[0]);
    refused(b, "model layer counts differ");
    b.final_norm = Tensor(Extents{9});
    refused(b, "model gradient shape differs: final norm");

    // The output embedding and the gate are compared only when the first set holds them.
    b = a;
    b.output_embedding = Tensor(Extents{258, 8});
    b.layers[0].ffn_gate = Tensor(Extents{1});
    TransformerWeights noGate = a;
    noGate.layers[0].ffn_gate = Tensor();
    EXPECT_EQ(maxModelDifference(noGate, b), 0.0);
    refused(b, "model gradient shape differs: ffn gate");
    TransformerWeights untied = a;
    untied.output_embedding = Tensor(Extents{258, 8});
    expectThrowWithMessage<std::runtime_error>([&] { (void)maxModelDifference(untied, a); },
                                               "model gradient shape differs: output");
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
