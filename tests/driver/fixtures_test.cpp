#include "driver/fixtures.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>

#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;

// The specifications' validity is proven by every scenario that builds a trainer from them.
TEST(Fixtures, CommunityShapeAndTheModelBuiltForTheByteTokenizer) {
    // 258 x 48 embedding, three layers of 24672, a final norm of 48.
    EXPECT_EQ(transformerParameterCount(communitySpec()).count, 86448u);
    EXPECT_EQ(fixtureModel()->artifact(),
              TransformerModel(fixtureSpec(), fixtureWeights(), "d625d64e85fdde02").artifact());
}

// The stream the seeded weights are drawn from, pinned by its first values.
TEST(Fixtures, RandomTensorsFollowTheSeededStream) {
    FixtureRandom random(1);
    EXPECT_EQ(random.next(1.0), -0.9939977599452632);
    EXPECT_EQ(random.next(1.0), -0.34035828931698364);
    EXPECT_EQ(uniformTensor({2}, 80, 0.02).values[0], -0.01727491959963253);
}

TEST(MaxModelDifference, TakesTheLargestDifferenceAndIgnoresNaN) {
    const TransformerWeights a = fixtureWeights();
    TransformerWeights b = a;
    b.layers[0].ffn_down.values[3] += 0.25;
    b.token_embedding.values[9] -= 0.125;
    b.final_norm.values[0] = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(maxModelDifference(a, b), 0.25);
}

// Sets whose shapes differ are refused, naming the tensor, rather than compared; the output
// embedding and the gate are compared only when the first set holds them.
TEST(MaxModelDifference, RefusesDifferentShapesAndSkipsTensorsTheFirstSetLacks) {
    const TransformerWeights a = fixtureWeights();
    const auto refused = [](const TransformerWeights& x, const TransformerWeights& y, const std::string& message) {
        expectThrowWithMessage<std::runtime_error>([&] { (void)maxModelDifference(x, y); }, message);
    };
    TransformerWeights b = a;
    b.layers.push_back(b.layers[0]);
    refused(a, b, "model layer counts differ");
    b = a;
    b.output_embedding = Tensor(Extents{258, 8});
    b.layers[0].ffn_gate = Tensor(Extents{1});
    TransformerWeights noGate = a;
    noGate.layers[0].ffn_gate = Tensor();
    EXPECT_EQ(maxModelDifference(noGate, b), 0.0);
    refused(a, b, "model gradient shape differs: ffn gate");
    refused(b, a, "model gradient shape differs: output");
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
