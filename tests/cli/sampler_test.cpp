#include "cli/sampler.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "driver/fixtures.h"

namespace Halcyne::Core::Vestra::Cli {
namespace {

// Top-k cuts first, the temperature shapes what is left, and top-p keeps the head of that.
TEST(Sampler, DrawsOnlyFromTheBytesKAndPKeep) {
    // The two special tokens lead; then bytes 7, 3, 9 (equal) and the rest far behind. At
    // temperature 1 the three hold about 0.58, 0.21 and 0.21.
    std::vector<double> logits(258, -20.0);
    logits[256] = logits[257] = 50.0;
    logits[7] = 5.0;
    logits[3] = logits[9] = 4.0;
    struct Case {
        SamplingOptions options;
        std::set<std::uint32_t> allowed;
    };
    const std::vector<Case> cases = {
        {{.temperature = 0.0, .topK = 0}, {7}},
        {{.temperature = 5.0, .topK = 1}, {7}},
        {{.temperature = 5.0, .topK = 2}, {7, 3}},  // equal logits rank by id
        {{.temperature = 5.0, .topK = 3}, {7, 3, 9}},
        {{.temperature = 1.0, .topK = 0, .topP = 0.5}, {7}},
        {{.temperature = 1.0, .topK = 0, .topP = 0.7}, {7, 3}},
        {{.temperature = 1.0, .topK = 0, .topP = 0.9}, {7, 3, 9}},
        {{.temperature = 1.0, .topK = 2, .topP = 0.7}, {7}},     // 7 holds 0.73 of what top-k left
        {{.temperature = 5.0, .topK = 3, .topP = 0.5}, {7, 3}},  // flatter: 7 alone holds 0.38
    };
    for (const Case& c : cases) {
        SampleRandom random(11);
        std::set<std::uint32_t> drawn;
        for (int i = 0; i < 200; ++i) {
            drawn.insert(drawToken(logits, c.options, random));
        }
        EXPECT_EQ(drawn, c.allowed) << "top-k " << c.options.topK << " top-p " << c.options.topP;
    }
    SampleRandom random(11);
    for (int i = 0; i < 200; ++i) {
        EXPECT_LT(drawToken(logits, {.temperature = 100.0, .topK = 0}, random), 256u);
    }
}

TEST(Sampler, ASeedGivesOneSequence) {
    const auto model = fixtureModel();
    const std::vector<std::uint32_t> prompt = {'T', 'h', 'e'};
    const auto draw = [&](std::uint64_t seed) {
        return sampleTokens(*model, prompt, {.tokens = 24, .temperature = 1.0, .topK = 0, .seed = seed});
    };
    const std::vector<std::uint32_t> first = draw(3);
    EXPECT_EQ(first.size(), 24u);
    EXPECT_EQ(draw(3), first);
    EXPECT_NE(draw(4), first);
    std::vector<std::uint32_t> emitted;
    (void)sampleTokens(*model, prompt, {.tokens = 24, .temperature = 1.0, .topK = 0, .seed = 3},
                       [&](std::uint32_t token) { emitted.push_back(token); });
    EXPECT_EQ(emitted, first);
    EXPECT_THROW((void)sampleTokens(*model, {}, {}), std::invalid_argument);

    // Zero embeddings (tied) make every logit zero: only a fresh draw for each token keeps a
    // sample of equally likely bytes from being one byte repeated.
    TransformerWeights flat = fixtureWeights();
    flat.token_embedding = Tensor(flat.token_embedding.shape, 0.0);
    const TransformerModel uniform(fixtureSpec(), flat);
    const auto drawn = sampleTokens(uniform, prompt, {.tokens = 24, .temperature = 1.0, .topK = 0, .seed = 3});
    EXPECT_GT(std::set(drawn.begin(), drawn.end()).size(), 1u);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra::Cli
