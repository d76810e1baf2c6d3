#include "training/transformer_trainer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "core/byte_writer.h"
#include "core/hash.h"
#include "support/expect_throw.h"
#include "support/trainers.h"
#include "training/named_tensors.h"
#include "training/training_schedule.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;
using Testing::fixtureTrainer;
using Testing::successors;
using Testing::tinySpec;
using Testing::tinyTrainer;
using Testing::tokenRows;

// Bit-for-bit equality of two weight-shaped sets.
void expectSameSet(const TransformerWeights& a, const TransformerWeights& b) {
    const auto left = namedTensors(a);
    const auto right = namedTensors(b);
    ASSERT_EQ(left.size(), right.size());
    for (std::size_t i = 0; i < left.size(); ++i) {
        EXPECT_EQ(left[i].tensor.shape, right[i].tensor.shape) << left[i].name;
        EXPECT_EQ(left[i].tensor.values, right[i].tensor.values) << i << " " << left[i].name;
    }
}

TEST(NamedTensors, ListFollowsTheLayoutAndAliasesItsMembers) {
    for (const bool tied : {true, false}) {
        TransformerSpec spec = tinySpec(tied);
        spec.layers = 2;
        TransformerWeights weights = zeroWeights(spec);
        const auto entries = namedTensors(weights);
        ASSERT_EQ(entries.size(), tied ? 20u : 21u);
        std::size_t index = 0;
        forEachWeightTensor(weights, [&](const WeightSlot& slot, Tensor& tensor) {
            EXPECT_EQ(entries[index].name, slot.name);
            EXPECT_EQ(&entries[index].tensor, &tensor);
            const bool norm = slot.name.ends_with("norm");
            EXPECT_EQ(entries[index].decays, !norm) << slot.name;
            ++index;
        });

        weights.layers[1].ffn_up.values[3] = 2.5;
        const TransformerWeights zeros = zerosLike(weights);
        const auto zeroEntries = namedTensors(zeros);
        ASSERT_EQ(zeroEntries.size(), entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(zeroEntries[i].tensor.shape, entries[i].tensor.shape);
            EXPECT_EQ(zeroEntries[i].tensor.values, std::vector<double>(entries[i].tensor.values.size(), 0.0));
        }
        EXPECT_EQ(zeros.output_embedding.shape.empty(), tied);
    }
}

TEST(ApplyIgnoreToken, RowsEndAtTheFirstIgnoredToken) {
    struct Case {
        std::vector<std::uint64_t> lengths;
        std::vector<std::uint64_t> expected;
    };
    // Rows: token 5 at position 0; at position 2; absent; at position 3.
    const TokenBatch base = tokenRows(4, 4, {5, 1, 5, 2, 1, 2, 5, 3, 1, 2, 3, 4, 1, 2, 3, 5});
    const Case cases[] = {
        {{}, {0, 2, 4, 3}}, {{4, 1, 2, 4}, {0, 1, 2, 3}},  // the ignored token is searched beyond the old length too
    };
    for (const Case& testCase : cases) {
        TokenBatch batch = base;
        batch.lengths = testCase.lengths;
        EXPECT_EQ(applyIgnoreToken(batch, std::nullopt).lengths, testCase.lengths);
        const TokenBatch prepared = applyIgnoreToken(batch, 5u);
        EXPECT_EQ(prepared.lengths, testCase.expected);
        EXPECT_EQ(prepared.tokens, base.tokens);
    }
    // A lengths list of the wrong size stays wrong, for the forward pass to refuse.
    TokenBatch malformed = base;
    malformed.lengths = {1, 2, 3, 4, 4};
    EXPECT_EQ(applyIgnoreToken(malformed, 5u).lengths, malformed.lengths);
}

TEST(TransformerTrainer, ConstructionValidatesConfigurationThenModel) {
    TransformerTrainingConfig config = scenarioTrainingConfig("x");
    config.dataset_hash.clear();
    expectThrowWithMessage<std::invalid_argument>([&] { (void)fixtureTrainer(config); },
                                                  "dataset_hash must not be empty");
    TransformerWeights transposed = fixtureWeights();
    transposed.layers[0].ffn_down.shape = {16, 8};
    expectThrowWithMessage<std::invalid_argument>(
        [&] { TransformerTrainer(fixtureSpec(), transposed, scenarioTrainingConfig("x")); },
        "feed-forward down weight has an invalid shape");

    const TransformerTrainer trainer = fixtureTrainer();
    EXPECT_EQ(trainer.dataOrderState(), dataOrderInitialState(1));
    expectSameSet(trainer.firstMoments(), zerosLike(trainer.weights()));
    expectSameSet(trainer.gradientAccumulator(), zerosLike(trainer.weights()));
}

TEST(TransformerTrainer, WindowBookkeepingAndAveraging) {
    TransformerTrainer trainer = fixtureTrainer();
    const TokenBatch two = tokenRows(2, 3, {1, 2, 3, 4, 5, 6});
    const TokenBatch three = tokenRows(3, 2, {7, 8, 9, 10, 11, 12});
    const double first = trainer.accumulate(two, successors(two, 258));
    const double second = trainer.accumulate(three, successors(three, 258));
    EXPECT_EQ(trainer.examplesSeen(), 5u);
    EXPECT_EQ(trainer.windowStartExamples(), 0u);
    EXPECT_EQ(trainer.accumulatedBatches(), 2u);
    EXPECT_EQ(trainer.accumulatedLoss(), first + second);

    const TrainingStepLog log = trainer.step();
    EXPECT_EQ(log.step, 1u);
    EXPECT_EQ(log.windowStart, 0u);
    EXPECT_EQ(log.windowEnd, 5u);
    EXPECT_EQ(log.loss, first + second);
    EXPECT_EQ(log.learningRate, 0.001);
    EXPECT_EQ(log.weightsFingerprint, weightsFingerprint(trainer.weights()));
    EXPECT_EQ(trainer.accumulatedBatches(), 0u);
    EXPECT_EQ(trainer.accumulatedLoss(), 0.0);
    EXPECT_EQ(trainer.windowStartExamples(), 5u);
    expectSameSet(trainer.gradientAccumulator(), zerosLike(trainer.weights()));

    (void)trainer.accumulate(two, successors(two, 258));
    const TrainingStepLog next = trainer.step();
    EXPECT_EQ(next.windowStart, 5u);
    EXPECT_EQ(next.windowEnd, 7u);

    // A window of the same batch twice averages to that batch's gradient exactly.
    TransformerTrainer once = fixtureTrainer();
    TransformerTrainer twice = fixtureTrainer();
    (void)once.accumulate(two, successors(two, 258));
    (void)twice.accumulate(two, successors(two, 258));
    (void)twice.accumulate(two, successors(two, 258));
    EXPECT_EQ(once.step().gradientNorm, twice.step().gradientNorm);
    expectSameSet(once.weights(), twice.weights());
}

TEST(TransformerTrainer, GradientIsTheMeanOverActiveTargets) {
    // Two equal rows: twice the summed loss, the same mean gradient. A loss mask that drops
    // positions changes the divisor with them.
    TransformerTrainer one = fixtureTrainer();
    TransformerTrainer doubled = fixtureTrainer();
    const TokenBatch row = tokenRows(1, 4, {1, 2, 3, 4});
    const TokenBatch rows = tokenRows(2, 4, {1, 2, 3, 4, 1, 2, 3, 4});
    const double loss = one.accumulate(row, successors(row, 258));
    EXPECT_NEAR(doubled.accumulate(rows, successors(rows, 258)), 2 * loss, 1e-12);
    const auto a = namedTensors(one.gradientAccumulator());
    const auto b = namedTensors(doubled.gradientAccumulator());
    for (std::size_t i = 0; i < a.size(); ++i) {
        for (std::size_t j = 0; j < a[i].tensor.values.size(); ++j) {
            EXPECT_NEAR(a[i].tensor.values[j], b[i].tensor.values[j], 1e-15) << a[i].name << " " << j;
        }
    }
}

TEST(TransformerTrainer, ClippingStartsAboveTheThreshold) {
    const TokenBatch batch = tokenRows(1, 4, {1, 2, 3, 4});
    const auto stepWithThreshold = [&](double threshold) {
        TransformerTrainingConfig config = scenarioTrainingConfig("clip");
        config.max_gradient_norm = threshold;
        TransformerTrainer trainer = fixtureTrainer(config);
        (void)trainer.accumulate(batch, successors(batch, 258));
        const TrainingStepLog log = trainer.step();
        return std::pair{log, trainer.weights()};
    };
    const auto [free, freeWeights] = stepWithThreshold(1e300);
    ASSERT_GT(free.gradientNorm, 0.0);
    const auto [exact, exactWeights] = stepWithThreshold(free.gradientNorm);
    EXPECT_EQ(exact.clipScale, 1.0);
    expectSameSet(exactWeights, freeWeights);
    const double below = std::nextafter(free.gradientNorm, 0.0);
    const auto [clipped, clippedWeights] = stepWithThreshold(below);
    EXPECT_EQ(clipped.gradientNorm, free.gradientNorm);
    EXPECT_EQ(clipped.clipScale, below / free.gradientNorm);
    EXPECT_LT(clipped.clipScale, 1.0);
}

TEST(TransformerTrainer, FirstMomentWithoutMemoryIsTheClippedGradient) {
    TransformerTrainingConfig config = scenarioTrainingConfig("beta1");
    config.beta1 = 0.0;
    config.max_gradient_norm = 0.05;
    TransformerTrainer trainer = fixtureTrainer(config);
    for (int step = 0; step < 2; ++step) {
        const TokenBatch batch = tokenRows(1, 3, {3, 1, 4});
        (void)trainer.accumulate(batch, successors(batch, 258));
        (void)trainer.accumulate(batch, successors(batch, 258));
        const TransformerWeights sums = trainer.gradientAccumulator();
        const TrainingStepLog log = trainer.step();
        ASSERT_LT(log.clipScale, 1.0);
        const auto moments = namedTensors(trainer.firstMoments());
        const auto summed = namedTensors(sums);
        for (std::size_t i = 0; i < moments.size(); ++i) {
            for (std::size_t j = 0; j < moments[i].tensor.values.size(); ++j) {
                ASSERT_EQ(moments[i].tensor.values[j], (summed[i].tensor.values[j] * 0.5) * log.clipScale);
            }
        }
    }
}

TEST(TransformerTrainer, DecayIsDecoupledAndSparesTheNorms) {
    // A window of one batch whose gradient is exactly zero, made by opening a window in the image.
    TransformerTrainer trainer = fixtureTrainer();
    Bytes image = trainer.checkpointBytes();
    ByteWriter(image).patchU64(48, 1);  // accumulatedBatches
    Testing::reseal(image);
    trainer.restoreCheckpoint(image);

    const TransformerWeights before = trainer.weights();
    const TrainingStepLog log = trainer.step();
    EXPECT_EQ(log.gradientNorm, 0.0);
    const auto old = namedTensors(before);
    const auto now = namedTensors(trainer.weights());
    for (std::size_t i = 0; i < old.size(); ++i) {
        for (std::size_t j = 0; j < old[i].tensor.values.size(); ++j) {
            const double w = old[i].tensor.values[j];
            const double expected = old[i].decays ? w - 0.001 * (0.01 * w) : w;
            ASSERT_EQ(now[i].tensor.values[j], expected) << old[i].name << " " << j;
        }
    }
}

// Every refusal happens before the commit: the checkpoint image is unchanged byte for byte.
TEST(TransformerTrainer, RefusedOperationsChangeNothing) {
    const TokenBatch good = tokenRows(1, 4, {1, 2, 3, 4});
    TokenBatch masked = good;
    masked.lossMask = {0, 0, 0, 0};
    const TokenBatch outOfVocabulary = tokenRows(1, 2, {1, 258});
    struct Case {
        const char* message;
        std::function<void(TransformerTrainer&)> call;
    };
    const Case cases[] = {
        {"training batch contains no active loss targets",
         [&](TransformerTrainer& t) { (void)t.accumulate(masked, successors(good, 258)); }},
        {"token id exceeds vocabulary",
         [&](TransformerTrainer& t) {
             (void)t.accumulate(outOfVocabulary, {2, 3});
         }},
        {"cross-entropy target exceeds vocabulary",
         [&](TransformerTrainer& t) {
             (void)t.accumulate(good, {2, 3, 4, 258});
         }},
        {"dataset size must be positive", [&](TransformerTrainer& t) { (void)t.nextDataIndex(0); }},
    };
    TransformerTrainer trainer = fixtureTrainer();
    (void)trainer.accumulate(good, successors(good, 258));  // an open window must survive too
    for (const Case& testCase : cases) {
        const Bytes before = trainer.checkpointBytes();
        try {
            testCase.call(trainer);
            ADD_FAILURE() << "no exception: " << testCase.message;
        } catch (const std::exception& error) {
            EXPECT_EQ(std::string(error.what()), testCase.message);
        }
        EXPECT_EQ(trainer.checkpointBytes(), before) << testCase.message;
    }

    TransformerTrainer fresh = fixtureTrainer();
    const Bytes before = fresh.checkpointBytes();
    expectThrowWithMessage<std::logic_error>([&] { (void)fresh.step(); },
                                             "optimizer step requires accumulated gradients");
    EXPECT_EQ(fresh.checkpointBytes(), before);
}

TEST(TransformerTrainer, NonFiniteUpdateIsRefusedWhole) {
    // A finite configuration whose update overflows: lr * (1 + decay * w) passes the double range.
    TransformerTrainingConfig config = scenarioTrainingConfig("overflow");
    config.learning_rate = 1e308;
    config.weight_decay = 1e3;
    TransformerTrainer trainer = fixtureTrainer(config);
    const TokenBatch batch = tokenRows(1, 4, {1, 2, 3, 4});
    (void)trainer.accumulate(batch, successors(batch, 258));
    const Bytes before = trainer.checkpointBytes();
    expectThrowWithMessage<std::domain_error>([&] { (void)trainer.step(); }, "optimizer produced non-finite state");
    EXPECT_EQ(trainer.checkpointBytes(), before);
}

TEST(TransformerTrainer, WeightsFingerprintHashesTheWeightRecordsOfTheImage) {
    const TransformerTrainer trainer = fixtureTrainer();
    Bytes records;
    ByteWriter out(records);
    for (const ConstNamedTensor& entry : namedTensors(trainer.weights())) {
        out.u64(entry.tensor.values.size());
        out.f64s(entry.tensor.values);
    }
    EXPECT_EQ(weightsFingerprint(trainer.weights()), vestraFnv1a64(records));
    const Bytes image = trainer.checkpointBytes();
    ASSERT_GT(image.size(), 72 + records.size());
    EXPECT_TRUE(std::equal(records.begin(), records.end(), image.begin() + 72));
}

TEST(TransformerTrainer, EvaluateScoresWithoutChangingState) {
    TransformerTrainer trainer = fixtureTrainer();
    const TokenBatch batch = tokenRows(1, 4, {1, 2, 3, 4});
    const Bytes before = trainer.checkpointBytes();
    const double loss = trainer.evaluate(batch, successors(batch, 258));
    EXPECT_EQ(trainer.checkpointBytes(), before);
    EXPECT_NEAR(trainer.accumulate(batch, successors(batch, 258)), loss, 1e-12);
    (void)trainer.step();
    (void)trainer.accumulate(batch, successors(batch, 258));
    (void)trainer.step();
    EXPECT_LT(trainer.evaluate(batch, successors(batch, 258)), loss);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
