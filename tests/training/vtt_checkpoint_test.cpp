#include "training/vtt_checkpoint.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <functional>
#include <limits>
#include <string>

#include "core/byte_reader.h"
#include "support/expect_throw.h"
#include "support/trainers.h"
#include "training/checkpoint_file.h"
#include "training/named_tensors.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;
using Testing::fixtureTrainer;
using Testing::reseal;
using Testing::successors;
using Testing::tinyTrainer;
using Testing::tokenRows;

constexpr std::size_t countersEnd = 72;

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
    TransformerTrainer writer = midWindow(Testing::fixtureTrainer());
    const Bytes image = writer.checkpointBytes();
    TransformerTrainer reader = Testing::fixtureTrainer();
    reader.restoreCheckpoint(image);
    EXPECT_EQ(reader.checkpointBytes(), image);
    EXPECT_EQ(reader.accumulatedBatches(), 2u);

    const TrainingStepLog expected = writer.step();
    const TrainingStepLog got = reader.step();
    EXPECT_EQ(got.loss, expected.loss);
    EXPECT_EQ(got.gradientNorm, expected.gradientNorm);
    EXPECT_EQ(got.learningRate, expected.learningRate);
    EXPECT_EQ(reader.nextDataIndex(1000), writer.nextDataIndex(1000));
    EXPECT_EQ(reader.checkpointBytes(), writer.checkpointBytes());
}

TEST(VttCheckpoint, RefusedImagesNameTheirFaultAndChangeNothing) {
    const TransformerTrainer source = midWindow(tinyTrainer());
    const Bytes image = source.checkpointBytes();
    const std::size_t payloadEnd = image.size() - 8;
    // The weight records are the bytes the weights fingerprint hashes.
    std::size_t weightsEnd = countersEnd;
    for (const ConstNamedTensor& entry : namedTensors(source.weights())) {
        weightsEnd += 8 + 8 * entry.tensor.values.size();
    }
    EXPECT_EQ(weightsFingerprint(source.weights()),
              vestraFnv1a64(std::span(image).subspan(countersEnd, weightsEnd - countersEnd)));

    const auto edited = [&](std::size_t size, std::size_t offset, std::uint64_t value) {
        Bytes other(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(std::min(size, image.size())));
        other.resize(size);
        if (offset + 8 <= size - 8) {
            ByteWriter(other).patchU64(offset, value);
        }
        reseal(other);
        return other;
    };
    const auto at = [&](std::size_t offset) { return ByteReader(std::span(image).subspan(offset), "").u64(); };
    const std::size_t lastRecord = 8 + 8 * namedTensors(source.gradientAccumulator()).back().tensor.values.size();
    TransformerTrainingConfig otherSeed = scenarioTrainingConfig("tiny");
    otherSeed.seed = 2;
    TransformerSpec otherBase = Testing::tinySpec();
    otherBase.position.rope_base = 500.0;
    constexpr auto bits = [](double value) { return std::bit_cast<std::uint64_t>(value); };

    const std::pair<const char*, std::function<Bytes()>> cases[] = {
        {"truncated VTT checkpoint", [&] { return Bytes(image.begin(), image.begin() + 31); }},
        // The header through the configuration fingerprint, sealed: the counters are cut.
        {"truncated VTT checkpoint", [&] { return edited(32, 0, at(0)); }},
        {"VTT checksum mismatch",
         [&] {
             Bytes flipped = image;
             flipped[40] ^= 1;
             return flipped;
         }},
        {"unknown VTT checkpoint format", [&] { return edited(image.size(), 0, at(0) ^ 1); }},
        {"VTT model spec mismatch",
         [&] {
             return TransformerTrainer(otherBase, randomWeights(otherBase), scenarioTrainingConfig("tiny"))
                 .checkpointBytes();
         }},
        {"VTT training config mismatch", [&] { return tinyTrainer(otherSeed).checkpointBytes(); }},
        {"VTT tensor shape mismatch", [&] { return edited(image.size(), countersEnd, at(countersEnd) + 1); }},
        {"truncated VTT tensor", [&] { return edited(payloadEnd, 0, at(0)); }},
        {"truncated VTT checkpoint", [&] { return edited(payloadEnd - lastRecord + 8, 0, at(0)); }},
        {"VTT checkpoint has trailing payload", [&] { return edited(image.size() + 8, 0, at(0)); }},
        {"VTT contains non-finite tensor state",
         [&] { return edited(image.size(), weightsEnd + 8, bits(std::numeric_limits<double>::quiet_NaN())); }},
        {"VTT contains non-finite loss",
         [&] { return edited(image.size(), 56, bits(std::numeric_limits<double>::infinity())); }},
    };
    TransformerTrainer reader = tinyTrainer();
    const Bytes before = reader.checkpointBytes();
    for (const auto& [message, make] : cases) {
        const Bytes bad = make();
        expectThrowWithMessage<std::invalid_argument>([&] { reader.restoreCheckpoint(bad); }, message);
        ASSERT_EQ(reader.checkpointBytes(), before) << message;
    }
    reader.restoreCheckpoint(image);
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

TEST(VttCheckpoint, FilesRoundTrip) {
    const auto path = std::filesystem::temp_directory_path() / ("vestra-vtt-" + std::to_string(::getpid()));
    const TransformerTrainer writer = midWindow(tinyTrainer());
    writer.saveCheckpoint(path);
    TransformerTrainer reader = tinyTrainer();
    reader.loadCheckpoint(path);
    EXPECT_EQ(reader.checkpointBytes(), writer.checkpointBytes());
    std::filesystem::remove(path);
}

// A load reads no more than the image size the trainer's shapes give: a longer file, or an endless
// one, is refused before it is read whole, and the trainer is unchanged.
TEST(VttCheckpoint, LoadRefusesFilesOfAnyOtherSize) {
    for (TransformerTrainer trainer : {tinyTrainer(), fixtureTrainer()}) {
        EXPECT_EQ(vttCheckpointSize(trainer.weights()), trainer.checkpointBytes().size());
    }
    const auto path = std::filesystem::temp_directory_path() / ("vestra-vtt-size-" + std::to_string(::getpid()));
    Bytes longer = midWindow(tinyTrainer()).checkpointBytes();
    longer.push_back(0);
    writeCheckpointFile(path, longer);
    TransformerTrainer reader = tinyTrainer();
    const Bytes before = reader.checkpointBytes();
    const char* wrongSize = "VTT checkpoint file does not have the trainer's image size";
    expectThrowWithMessage<std::runtime_error>([&] { reader.loadCheckpoint(path); }, wrongSize);
    std::filesystem::remove(path);
    if (std::filesystem::exists("/dev/zero")) {
        expectThrowWithMessage<std::runtime_error>([&] { reader.loadCheckpoint("/dev/zero"); }, wrongSize);
    }
    EXPECT_EQ(reader.checkpointBytes(), before);
}

TEST(VttCheckpoint, SummaryReadsAnImageWithoutATrainer) {
    const TransformerTrainer trainer = midWindow(tinyTrainer());
    const Bytes pristine = trainer.checkpointBytes();
    const VttSummary summary = summarizeVttImage(pristine);
    EXPECT_EQ(summary.storedChecksum, summary.computedChecksum);
    EXPECT_EQ(summary.specFingerprint, transformerSpecFingerprint(trainer.spec()));
    EXPECT_EQ(summary.configFingerprint, trainingConfigFingerprint(trainer.config()));
    EXPECT_EQ(summary.counters.accumulatedBatches, 2u);
    EXPECT_EQ(summary.counters.dataOrderState, trainer.dataOrderState());
    const auto weights = namedTensors(trainer.weights());
    EXPECT_EQ(summary.tensorsPerSet, weights.size());
    std::uint64_t parameters = 0;
    for (const auto& entry : weights) {
        parameters += entry.tensor.values.size();
    }
    EXPECT_EQ(summary.parameters, parameters);

    // A damaged image is described, its checksum reported rather than enforced.
    Bytes flipped = pristine;
    flipped[countersEnd + 8] ^= 1;  // a byte of the first value
    const VttSummary damaged = summarizeVttImage(flipped);
    EXPECT_NE(damaged.storedChecksum, damaged.computedChecksum);
    // One record fewer leaves sets that do not match; a count past the end is a truncated tensor.
    const std::uint64_t firstCount = ByteReader(std::span(pristine).subspan(countersEnd), "").u64();
    Bytes shortened = pristine;
    shortened.erase(shortened.begin() + countersEnd,
                    shortened.begin() + static_cast<std::ptrdiff_t>(countersEnd + 8 + 8 * firstCount));
    expectThrowWithMessage<std::invalid_argument>([&] { (void)summarizeVttImage(shortened); },
                                                  "VTT tensor sets do not have the same shapes");
    Bytes overlong = pristine;
    ByteWriter(overlong).patchU64(countersEnd, 1u << 30);
    expectThrowWithMessage<std::invalid_argument>([&] { (void)summarizeVttImage(overlong); }, "truncated VTT tensor");
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
