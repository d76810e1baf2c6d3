#include "training/transformer_trainer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

#include "support/compare.h"
#include "support/expect_throw.h"
#include "support/trainers.h"
#include "training/named_tensors.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;
using Testing::fixtureTrainer;
using Testing::successors;
using Testing::tokenRows;

// Element-wise comparison of two weight-shaped sets within tolerance (0: bit for bit).
void expectSameSet(const TransformerWeights& got, const TransformerWeights& expected, double tolerance = 0.0) {
    const auto left = namedTensors(got);
    const auto right = namedTensors(expected);
    ASSERT_EQ(left.size(), right.size());
    for (std::size_t i = 0; i < left.size(); ++i) {
        EXPECT_TRUE(Testing::tensorsNear(left[i].tensor, right[i].tensor, tolerance)) << i << " " << left[i].name;
    }
}

double feed(TransformerTrainer& trainer, const TokenBatch& batch) {
    return trainer.accumulate(batch, successors(batch, trainer.spec().vocabulary));
}

TEST(ApplyIgnoreToken, RowsEndAtTheFirstIgnoredToken) {
    // Token 5 at position 0, at 2, absent, at 3; it is searched beyond a row's old length too.
    TokenBatch batch = tokenRows(4, 4, {5, 1, 5, 2, 1, 2, 5, 3, 1, 2, 3, 4, 1, 2, 3, 5});
    EXPECT_EQ(applyIgnoreToken(batch, 5u).lengths, (std::vector<std::uint64_t>{0, 2, 4, 3}));
    batch.lengths = {4, 1, 2, 4};
    EXPECT_EQ(applyIgnoreToken(batch, 5u).lengths, (std::vector<std::uint64_t>{0, 1, 2, 3}));
    EXPECT_EQ(applyIgnoreToken(batch, std::nullopt).lengths, batch.lengths);
    // A lengths list of the wrong size is cut, or filled out with width, before the scan.
    batch.lengths = {4, 1, 2, 4, 1};
    EXPECT_EQ(applyIgnoreToken(batch, 5u).lengths, (std::vector<std::uint64_t>{0, 1, 2, 3}));
    batch.lengths = {4, 1};
    EXPECT_EQ(applyIgnoreToken(batch, 5u).lengths, (std::vector<std::uint64_t>{0, 1, 4, 3}));
    // Tokens that are not batch rows of width cannot be scanned; the forward pass refuses them.
    batch.tokens.pop_back();
    EXPECT_EQ(applyIgnoreToken(batch, 5u).lengths, batch.lengths);
}

TEST(TransformerTrainer, WindowBookkeepingAndAveraging) {
    TransformerTrainer trainer = fixtureTrainer();
    const TokenBatch two = tokenRows(2, 3, {1, 2, 3, 4, 5, 6});
    const TokenBatch three = tokenRows(3, 2, {7, 8, 9, 10, 11, 12});
    const double loss = feed(trainer, two) + feed(trainer, three);
    EXPECT_EQ((std::vector<std::uint64_t>{trainer.examplesSeen(), trainer.accumulatedBatches()}),
              (std::vector<std::uint64_t>{5, 2}));

    const TrainingStepLog log = trainer.step();
    EXPECT_EQ((std::vector<std::uint64_t>{log.step, log.windowStart, log.windowEnd}),
              (std::vector<std::uint64_t>{1, 0, 5}));
    EXPECT_EQ(log.loss, loss);
    EXPECT_EQ(log.weightsFingerprint, weightsFingerprint(trainer.weights()));
    EXPECT_EQ(trainer.accumulatedLoss(), 0.0);
    expectSameSet(trainer.gradientAccumulator(), zerosLike(trainer.weights()));
    (void)feed(trainer, two);
    EXPECT_EQ(trainer.step().windowStart, 5u);

    // A window of the same batch twice averages to that batch's gradient exactly.
    TransformerTrainer once = fixtureTrainer();
    TransformerTrainer twice = fixtureTrainer();
    (void)feed(once, two);
    (void)feed(twice, two);
    (void)feed(twice, two);
    EXPECT_EQ(once.step().gradientNorm, twice.step().gradientNorm);
    expectSameSet(once.weights(), twice.weights());
}

TEST(TransformerTrainer, GradientIsTheMeanOverActiveTargets) {
    // Two equal rows: twice the summed loss, the same mean gradient.
    TransformerTrainer one = fixtureTrainer();
    TransformerTrainer doubled = fixtureTrainer();
    const TokenBatch row = tokenRows(1, 4, {1, 2, 3, 4});
    const TokenBatch rows = tokenRows(2, 4, {1, 2, 3, 4, 1, 2, 3, 4});
    EXPECT_NEAR(feed(doubled, rows), 2 * feed(one, row), 1e-12);
    expectSameSet(one.gradientAccumulator(), doubled.gradientAccumulator(), 1e-15);
}

// A trainer with an ignore token trains as one given the lengths the token implies: the same loss
// and the mean gradient over the same targets (a row the token empties adds none), and it
// evaluates the same.
TEST(TransformerTrainer, AnIgnoreTokenActsAsTheLengthsItImplies) {
    TransformerTrainingConfig ignoring = scenarioTrainingConfig("fixture");
    ignoring.ignore_token = 5;
    TransformerTrainer cut = fixtureTrainer(ignoring);
    TransformerTrainer given = fixtureTrainer();
    TransformerTrainer fewer = fixtureTrainer();
    const TokenBatch batch = tokenRows(3, 4, {1, 2, 3, 4, 5, 1, 2, 3, 1, 2, 5, 4});
    TokenBatch lengths = batch;
    lengths.lengths = {4, 0, 2};
    TokenBatch twoRows = tokenRows(2, 4, {1, 2, 3, 4, 1, 2, 5, 4});
    twoRows.lengths = {4, 2};
    const double loss = feed(cut, batch);
    EXPECT_EQ(loss, feed(given, lengths));
    EXPECT_EQ(loss, feed(fewer, twoRows));
    expectSameSet(cut.gradientAccumulator(), given.gradientAccumulator());
    expectSameSet(cut.gradientAccumulator(), fewer.gradientAccumulator());
    EXPECT_EQ(cut.examplesSeen(), 3u);
    EXPECT_EQ(cut.evaluate(batch, successors(batch, 258)), given.evaluate(lengths, successors(batch, 258)));
}

// Clipping starts above the threshold, and a clipped step is an unclipped step on the clipped
// gradient (a window of two batches).
TEST(TransformerTrainer, AClippedStepUpdatesWithTheClippedGradient) {
    const auto opened = [](double threshold) {
        TransformerTrainingConfig config = scenarioTrainingConfig("clip");
        config.max_gradient_norm = threshold;
        auto trainer = std::make_unique<TransformerTrainer>(fixtureTrainer(config));
        (void)feed(*trainer, tokenRows(1, 4, {1, 2, 3, 4}));
        (void)feed(*trainer, tokenRows(2, 2, {5, 6, 7, 8}));
        return trainer;
    };
    const auto free = opened(1e300);
    const double norm = free->step().gradientNorm;
    const auto exact = opened(norm);
    EXPECT_EQ(exact->step().clipScale, 1.0);
    const double below = std::nextafter(norm, 0.0);
    EXPECT_EQ(opened(below)->step().clipScale, below / norm);
    Testing::expectClippedStepIsAStepOnTheClippedGradient(opened);
}

TEST(TransformerTrainer, DecayIsDecoupledAndSparesTheNorms) {
    // A window of one batch whose gradient is exactly zero, opened by editing the image.
    TransformerTrainer trainer = fixtureTrainer();
    Bytes image = trainer.checkpointBytes();
    ByteWriter(image).patchU64(48, 1);  // accumulatedBatches
    Testing::reseal(image);
    trainer.restoreCheckpoint(image);
    const TransformerWeights before = trainer.weights();
    (void)trainer.step();
    TransformerWeights expected = before;
    for (const NamedTensor& entry : namedTensors(expected)) {
        for (double& w : entry.tensor.values) {
            w = entry.decays ? w - 0.001 * (0.01 * w) : w;
        }
    }
    expectSameSet(trainer.weights(), expected);
}

// A step refused for a non-finite update leaves the trainer as it was, its open window included.
// (The training fuzz target holds every refusal of its batches and settings to the same rule.)
TEST(TransformerTrainer, RefusedStepsChangeNothing) {
    TransformerTrainingConfig overflowing = scenarioTrainingConfig("fixture");
    overflowing.learning_rate = 1e308;  // finite, but lr * (1 + decay * w) is not
    overflowing.weight_decay = 1e3;
    TransformerTrainer trainer = fixtureTrainer(overflowing);
    (void)feed(trainer, tokenRows(1, 4, {1, 2, 3, 4}));
    const Bytes before = trainer.checkpointBytes();
    expectThrowWithMessage<std::domain_error>([&] { (void)trainer.step(); }, "optimizer produced non-finite state");
    EXPECT_EQ(trainer.checkpointBytes(), before);
    TransformerTrainer fresh = fixtureTrainer();
    expectThrowWithMessage<std::logic_error>([&] { (void)fresh.step(); },
                                             "optimizer step requires accumulated gradients");
}

// The constructor's probe reads only token 0's input row (embeddings untied); a non-finite value in
// any other row would make every accumulate that meets it throw, so construction refuses it.
TEST(TransformerTrainer, RefusesNonFiniteWeightsTheProbeDoesNotRead) {
    const TransformerSpec spec = Testing::tinySpec();
    for (const double value : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        TransformerWeights weights = randomWeights(spec);
        weights.token_embedding.values.back() = value;
        expectThrowWithMessage<std::domain_error>(
            [&] { TransformerTrainer(spec, weights, scenarioTrainingConfig("tiny")); },
            "transformer weights contain NaN/Inf");
    }
}

TEST(TransformerTrainer, EvaluateScoresWithoutChangingState) {
    TransformerTrainer trainer = fixtureTrainer();
    const TokenBatch batch = tokenRows(1, 4, {1, 2, 3, 4});
    const Bytes before = trainer.checkpointBytes();
    const double loss = trainer.evaluate(batch, successors(batch, 258));
    EXPECT_EQ(trainer.checkpointBytes(), before);
    EXPECT_NEAR(feed(trainer, batch), loss, 1e-12);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
