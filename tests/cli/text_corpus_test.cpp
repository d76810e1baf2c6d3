#include "cli/text_corpus.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace Halcyne::Core::Vestra::Cli {
namespace {

TEST(TextCorpus, EvaluationPredictsEveryTokenAfterTheFirstOnce) {
    for (const std::size_t size : {2u, 5u, 17u, 40u, 41u}) {
        for (const std::uint32_t rows : {1u, 3u}) {
            SCOPED_TRACE(testing::Message() << size << " tokens, " << rows << " rows");
            std::vector<std::uint8_t> tokens(size);
            std::iota(tokens.begin(), tokens.end(), std::uint8_t{0});  // each target names its position
            std::vector<int> predicted(size, 0);
            const EvaluationBatches batches(tokens, 8, rows);
            for (std::size_t i = 0; i < batches.size(); ++i) {
                const Batch batch = batches[i];
                ASSERT_LE(batch.tokens.batch, rows);
                for (std::uint64_t r = 0; r < batch.tokens.batch; ++r) {
                    for (std::uint64_t s = 0; s < batch.tokens.lengths[r]; ++s) {
                        const std::uint64_t at = r * 8 + s;
                        EXPECT_EQ(batch.targets[at], batch.tokens.tokens[at] + 1);
                        ++predicted[batch.targets[at]];
                    }
                }
            }
            EXPECT_EQ(predicted[0], 0);
            EXPECT_EQ(std::count(predicted.begin() + 1, predicted.end(), 1), static_cast<long>(size - 1));
        }
    }
    const std::vector<std::uint8_t> many(100, 1);
    const EvaluationBatches limitedBatches(many, 8, 2, 20);
    std::uint64_t limited = 0;
    for (std::size_t i = 0; i < limitedBatches.size(); ++i) {
        limited += predictedTokens(limitedBatches[i]);
    }
    EXPECT_EQ(limited, 24u);  // whole windows until the limit is reached
}

TEST(TextCorpus, WindowsAndSplit) {
    const std::vector<std::uint8_t> tokens = {10, 11, 12, 13, 14, 15};
    EXPECT_EQ(windowCount(tokens, 3), 3u);
    EXPECT_EQ(windowCount(tokens, 6), 0u);
    const std::vector<std::uint64_t> starts = {2, 0};
    const Batch batch = windowBatch(tokens, starts, 3);
    EXPECT_EQ(batch.tokens.tokens, (std::vector<std::uint32_t>{12, 13, 14, 10, 11, 12}));
    EXPECT_EQ(batch.targets, (std::vector<std::uint32_t>{13, 14, 15, 11, 12, 13}));

    const std::string text(100, 'x');
    EXPECT_EQ(splitText(text, 0.0, 8).validation.size(), 0u);
    const TextCorpus split = splitText(text, 0.25, 8);
    EXPECT_EQ(split.training.size(), 75u);
    EXPECT_EQ(split.validation.size(), 25u);
    EXPECT_THROW((void)splitText(text, 0.95, 8), std::invalid_argument);  // 5 held-out bytes
    EXPECT_THROW((void)splitText(text, 0.0, 100), std::invalid_argument);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra::Cli
