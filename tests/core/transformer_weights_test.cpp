#include "core/transformer_weights.h"

#include <gtest/gtest.h>

#include "driver/fixtures.h"
#include "support/spec_variants.h"

namespace Halcyne::Core::Vestra {
namespace {

// Two layers, grouped-query attention, untied embeddings: every tensor the walk visits counts
// towards the parameter count exactly once, only the norms are spared weight decay, and the slot
// list and the member lookup are the walk's, slot for slot.
TEST(WeightLayout, WalkCoversTheParameterCountSparesOnlyNormsAndMatchesTheSlots) {
    const TransformerSpec spec = Testing::variantSpec({.vocabulary = 11, .layers = 2, .ffnDim = 16});
    TransformerWeights weights = zeroWeights(spec);
    EXPECT_EQ(weights.layers[1].ffn_down.shape, (Extents{8, 16}));
    const std::vector<WeightSlot> slots = canonicalWeightSlots(2, true);
    std::uint64_t total = 0;
    std::vector<std::string> names, noDecay;
    forEachWeightTensor(weights, [&](const WeightSlot& slot, Tensor& tensor) {
        ASSERT_LT(names.size(), slots.size());
        EXPECT_EQ(&weightSlotMember(weights, slots[names.size()]), &tensor) << canonicalTensorName(slot);
        EXPECT_EQ(canonicalTensorName(slots[names.size()]), canonicalTensorName(slot));
        total += tensor.values.size();
        names.push_back(canonicalTensorName(slot));
        if (!slot.decays)
            noDecay.push_back(names.back());
    });
    EXPECT_EQ(names.size(), slots.size());
    EXPECT_EQ(total, transformerParameterCount(spec).count);
    EXPECT_EQ(names, canonicalTensorNames(weights));
    EXPECT_EQ(names[10], "layers.1.attention_norm");
    EXPECT_EQ(names.back(), "output_embedding");
    EXPECT_EQ(noDecay, (std::vector<std::string>{"layers.0.attention_norm", "layers.0.ffn_norm",
                                                 "layers.1.attention_norm", "layers.1.ffn_norm", "final_norm"}));
    // Tied embeddings: no output embedding to walk.
    EXPECT_EQ(canonicalTensorNames(zeroWeights(fixtureSpec())).back(), "final_norm");
    EXPECT_EQ(canonicalWeightSlots(2, false).size(), slots.size() - 1);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
