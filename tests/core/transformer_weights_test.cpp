#include "core/transformer_weights.h"

#include <gtest/gtest.h>

#include "driver/fixtures.h"
#include "support/spec_variants.h"

namespace Halcyne::Core::Vestra {
namespace {

// Two layers, grouped-query attention, untied embeddings: every tensor the walk visits counts
// towards the parameter count exactly once, and only the norms are spared weight decay.
TEST(WeightLayout, WalkCoversTheParameterCountAndSparesOnlyNorms) {
    const TransformerSpec spec = Testing::variantSpec({.vocabulary = 11, .layers = 2, .ffnDim = 16});
    const TransformerWeights weights = zeroWeights(spec);
    EXPECT_EQ(weights.layers[1].ffn_down.shape, (Extents{8, 16}));
    std::uint64_t total = 0;
    std::vector<std::string> names, noDecay;
    forEachWeightTensor(weights, [&](const WeightSlot& slot, const Tensor& tensor) {
        total += tensor.values.size();
        names.push_back(canonicalTensorName(slot));
        if (!slot.decays)
            noDecay.push_back(names.back());
    });
    EXPECT_EQ(total, transformerParameterCount(spec).count);
    EXPECT_EQ(names, canonicalTensorNames(weights));
    EXPECT_EQ(names[10], "layers.1.attention_norm");
    EXPECT_EQ(names.back(), "output_embedding");
    EXPECT_EQ(noDecay, (std::vector<std::string>{"layers.0.attention_norm", "layers.0.ffn_norm",
                                                 "layers.1.attention_norm", "layers.1.ffn_norm", "final_norm"}));
    // Tied embeddings: no output embedding to walk.
    EXPECT_EQ(canonicalTensorNames(zeroWeights(fixtureSpec())).back(), "final_norm");
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
