#include "core/transformer_weights.h"

#include <gtest/gtest.h>

#include "driver/fixtures.h"

namespace Halcyne::Core::Vestra {
namespace {

TEST(WeightLayout, CanonicalNamesOfTiedSingleLayerModel) {
    const TransformerWeights weights = zeroWeights(fixtureSpec());
    EXPECT_TRUE(weights.output_embedding.empty());
    const std::vector<std::string> expected = {
        "token_embedding", "layers.0.attention_norm",   "layers.0.query",    "layers.0.key",
        "layers.0.value",  "layers.0.attention_output", "layers.0.ffn_norm", "layers.0.ffn_gate",
        "layers.0.ffn_up", "layers.0.ffn_down",         "final_norm",
    };
    EXPECT_EQ(canonicalTensorNames(weights), expected);
}

TEST(WeightLayout, ZeroWeightsFollowTheSpecShapes) {
    TransformerSpec spec = fixtureSpec();
    spec.layers = 2;
    spec.tied_embeddings = false;
    spec.query_heads = 4;
    spec.kv_heads = 2;
    spec.head_dim = 2;
    const TransformerWeights weights = zeroWeights(spec);

    ASSERT_EQ(weights.layers.size(), 2u);
    const TransformerLayerWeights& layer = weights.layers[1];
    EXPECT_EQ(layer.key.shape, (Extents{4, 8}));
    EXPECT_EQ(layer.attention_output.shape, (Extents{8, 8}));
    EXPECT_EQ(layer.ffn_down.shape, (Extents{8, 16}));

    // Every tensor the walk visits counts towards the parameter count, exactly once.
    std::uint64_t total = 0;
    std::vector<std::string> noDecay;
    forEachWeightTensor(weights, [&](const WeightSlot& slot, const Tensor& tensor) {
        total += tensor.values.size();
        if (!slot.decays)
            noDecay.push_back(canonicalTensorName(slot));
    });
    EXPECT_EQ(total, transformerParameterCount(spec).count);
    EXPECT_EQ(noDecay, (std::vector<std::string>{"layers.0.attention_norm", "layers.0.ffn_norm",
                                                 "layers.1.attention_norm", "layers.1.ffn_norm", "final_norm"}));
    EXPECT_EQ(canonicalTensorNames(weights).back(), "output_embedding");
}

// The slot list and the member lookup are the walk's, slot for slot, on any layer count.
TEST(WeightLayout, SlotsAndMemberLookupFollowTheWalk) {
    TransformerSpec spec = fixtureSpec();
    spec.layers = 2;
    spec.tied_embeddings = false;
    TransformerWeights weights = zeroWeights(spec);
    const std::vector<WeightSlot> slots = canonicalWeightSlots(2, true);
    std::size_t index = 0;
    forEachWeightTensor(weights, [&](const WeightSlot& slot, Tensor& tensor) {
        ASSERT_LT(index, slots.size());
        EXPECT_EQ(canonicalTensorName(slots[index]), canonicalTensorName(slot));
        EXPECT_EQ(&weightSlotMember(weights, slots[index]), &tensor) << canonicalTensorName(slot);
        ++index;
    });
    EXPECT_EQ(index, slots.size());
    EXPECT_EQ(canonicalWeightSlots(2, false).size(), slots.size() - 1);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
