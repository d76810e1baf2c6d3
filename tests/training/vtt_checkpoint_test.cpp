#include "training/vtt_checkpoint.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <functional>
#include <limits>
#include <string>

#include "core/byte_reader.h"
#include "core/byte_writer.h"
#include "core/hash.h"
#include "support/expect_throw.h"
#include "support/trainers.h"
#include "training/named_tensors.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;
using Testing::fixtureTrainer;
using Testing::reseal;
using Testing::successors;
using Testing::tinySpec;
using Testing::tinyTrainer;
using Testing::tokenRows;

constexpr std::size_t countersEnd = 72;

void putU64(Bytes& image, std::size_t offset, std::uint64_t value) {
    ByteWriter(image).patchU64(offset, value);
}

// A trainer in the middle of its second window, so that every field of the image is non-trivial.
TransformerTrainer midWindow(TransformerTrainer trainer) {
    const TokenBatch a = tokenRows(2, 3, {1, 2, 3, 4, 5, 0});
    const TokenBatch b = tokenRows(1, 4, {5, 4, 3, 2});
    const std::uint32_t vocabulary = trainer.spec().vocabulary;
    (void)trainer.accumulate(a, successors(a, vocabulary));
    (void)trainer.step();
    (void)trainer.nextDataIndex(31);
    (void)trainer.accumulate(a, successors(a, vocabulary));
    (void)trainer.accumulate(b, successors(b, vocabulary));
    return trainer;
}

TEST(VttCheckpoint, RestoredTrainerContinuesIdentically) {
    TransformerTrainer writer = midWindow(fixtureTrainer());
    const Bytes image = writer.checkpointBytes();
    TransformerTrainer reader = fixtureTrainer();
    reader.restoreCheckpoint(image);
    EXPECT_EQ(reader.checkpointBytes(), image);
    EXPECT_EQ(reader.accumulatedBatches(), 2u);
    EXPECT_EQ(reader.steps(), 1u);

    const TrainingStepLog expected = writer.step();
    const TrainingStepLog got = reader.step();
    EXPECT_EQ(got.step, expected.step);
    EXPECT_EQ(got.windowStart, expected.windowStart);
    EXPECT_EQ(got.windowEnd, expected.windowEnd);
    EXPECT_EQ(got.loss, expected.loss);
    EXPECT_EQ(got.gradientNorm, expected.gradientNorm);
    EXPECT_EQ(got.learningRate, expected.learningRate);
    EXPECT_EQ(got.weightsFingerprint, expected.weightsFingerprint);
    EXPECT_EQ(reader.nextDataIndex(1000), writer.nextDataIndex(1000));
    EXPECT_EQ(reader.checkpointBytes(), writer.checkpointBytes());
}

TEST(VttCheckpoint, RefusedImagesNameTheirFaultAndChangeNothing) {
    const TransformerTrainer source = midWindow(tinyTrainer());
    const Bytes image = source.checkpointBytes();
    const std::size_t payloadEnd = image.size() - 8;
    const std::uint64_t weightCount = ByteReader(std::span(image).subspan(countersEnd), "short").u64();
    ASSERT_EQ(weightCount, source.weights().token_embedding.values.size());
    // Offset of the first first-moment value: one record per weight tensor before it.
    std::size_t firstMomentValue = countersEnd;
    for (const ConstNamedTensor& entry : namedTensors(source.weights())) {
        firstMomentValue += 8 + 8 * entry.tensor.values.size();
    }
    firstMomentValue += 8;

    TransformerTrainingConfig otherSeed = scenarioTrainingConfig("tiny");
    otherSeed.seed = 2;
    TransformerSpec otherBase = tinySpec();
    otherBase.position.rope_base = 500.0;
    const double nan = std::numeric_limits<double>::quiet_NaN();

    struct Case {
        const char* message;
        std::function<Bytes()> make;
    };
    const Case cases[] = {
        {"truncated VTT checkpoint", [&] { return Bytes(image.begin(), image.begin() + 31); }},
        // The header through the configuration fingerprint, sealed: the counters do not fit.
        {"truncated VTT checkpoint",
         [&] {
             Bytes cut(image.begin(), image.begin() + 32);
             reseal(cut);
             return cut;
         }},
        {"VTT checksum mismatch",
         [&] {
             Bytes flipped = image;
             flipped[40] ^= 1;
             return flipped;
         }},
        {"unknown VTT checkpoint format",
         [&] {
             Bytes other = image;
             other[7] = '2';
             reseal(other);
             return other;
         }},
        {"VTT model spec mismatch",
         [&] {
             const TransformerTrainer trainer(otherBase, randomWeights(otherBase), scenarioTrainingConfig("tiny"));
             return trainer.checkpointBytes();
         }},
        {"VTT training config mismatch", [&] { return tinyTrainer(otherSeed).checkpointBytes(); }},
        {"VTT tensor shape mismatch",
         [&] {
             Bytes other = image;
             putU64(other, countersEnd, weightCount + 1);
             reseal(other);
             return other;
         }},
        // Cut inside the last accumulator record, and right before its count.
        {"truncated VTT tensor",
         [&] {
             Bytes cut(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(payloadEnd - 8));
             cut.resize(cut.size() + 8);
             reseal(cut);
             return cut;
         }},
        {"truncated VTT checkpoint",
         [&] {
             const std::size_t lastRecord = 8 + 8 * source.gradientAccumulator().final_norm.values.size();
             Bytes cut(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(payloadEnd - lastRecord + 8));
             reseal(cut);
             return cut;
         }},
        {"VTT checkpoint has trailing payload",
         [&] {
             Bytes longer(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(payloadEnd));
             longer.resize(longer.size() + 16);
             reseal(longer);
             return longer;
         }},
        {"VTT contains non-finite tensor state",
         [&] {
             Bytes other = image;
             putU64(other, firstMomentValue, std::bit_cast<std::uint64_t>(nan));
             reseal(other);
             return other;
         }},
        {"VTT contains non-finite loss",
         [&] {
             Bytes other = image;
             putU64(other, 56, std::bit_cast<std::uint64_t>(std::numeric_limits<double>::infinity()));
             reseal(other);
             return other;
         }},
    };
    TransformerTrainer reader = tinyTrainer();
    const Bytes before = reader.checkpointBytes();
    for (const Case& testCase : cases) {
        const Bytes bad = testCase.make();
        expectThrowWithMessage<std::invalid_argument>([&] { reader.restoreCheckpoint(bad); }, testCase.message);
        ASSERT_EQ(reader.checkpointBytes(), before) << testCase.message;
    }
    reader.restoreCheckpoint(image);  // the untouched image is accepted by the same reader
    EXPECT_EQ(reader.checkpointBytes(), image);
}

TEST(VttCheckpoint, EveryFlippedByteIsRefused) {
    const Bytes image = midWindow(tinyTrainer()).checkpointBytes();
    TransformerTrainer reader = tinyTrainer();
    const Bytes before = reader.checkpointBytes();
    for (std::size_t offset = 0; offset < image.size(); ++offset) {
        Bytes flipped = image;
        flipped[offset] ^= 0x20;
        try {
            reader.restoreCheckpoint(flipped);
            FAIL() << "accepted a flip at offset " << offset;
        } catch (const std::invalid_argument& error) {
            ASSERT_STREQ(error.what(), "VTT checksum mismatch") << offset;
        }
    }
    EXPECT_EQ(reader.checkpointBytes(), before);
}

TEST(VttCheckpoint, FilesRoundTripThroughDurableReplacement) {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("vestra-vtt-" + std::to_string(::getpid()) + ".vtt");
    const TransformerTrainer writer = midWindow(tinyTrainer());
    writer.saveCheckpoint(path);
    TransformerTrainer reader = tinyTrainer();
    reader.loadCheckpoint(path);
    EXPECT_EQ(reader.checkpointBytes(), writer.checkpointBytes());
    std::filesystem::remove(path);

    const Bytes before = reader.checkpointBytes();
    expectThrowWithMessage<std::runtime_error>([&] { reader.loadCheckpoint(path); }, "cannot open VTT checkpoint");
    EXPECT_EQ(reader.checkpointBytes(), before);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
