#include "training/vtt_checkpoint.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <functional>
#include <limits>
#include <string>

#include "core/byte_reader.h"
#include "support/expect_throw.h"
#include "support/spec_variants.h"
#include "support/trainers.h"
#include "training/checkpoint_file.h"
#include "training/named_tensors.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;
using Testing::reseal;
using Testing::successors;
using Testing::tinyTrainer;
using Testing::tokenRows;

constexpr std::size_t countersEnd = 72;

// A trainer in the middle of its second window, so that every field of the image is non-trivial.
TransformerTrainer midWindow() {
    TransformerTrainer trainer = tinyTrainer();
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

// data/mid_window.vtt, written once by a trainer of this model after accumulating three rows,
// stepping, drawing one data index and accumulating two rows twice: every counter is distinct, and
// the moments and the window differ from the weights. Reading it field by field at the offsets of
// the format pins the layout, which writer and reader checked only against each other would not.
TEST(VttCheckpoint, AKnownGoodImageIsReadFieldByField) {
    // Vocabulary 3, context 4, one layer of one query and one KV head of width 2, SwiGLU 1 wide, tied.
    const TransformerSpec spec = Testing::variantSpec({3, 4, 1, 1, 1, 2, 1, FeedForwardKind::SwiGlu, true});
    TransformerTrainer trainer(spec, randomWeights(spec), scenarioTrainingConfig("layout"));
    const Bytes image = readCheckpointFile(VESTRA_TEST_DATA "/mid_window.vtt", vttCheckpointSize(trainer.weights()));
    const auto at = [&](std::size_t offset) { return ByteReader(std::span(image).subspan(offset), "").u64(); };
    trainer.restoreCheckpoint(image);

    // The magic and both fingerprints were found where the reader looked, or it would have refused.
    EXPECT_EQ(std::vector({at(24), at(32), at(48), at(64)}), std::vector<std::uint64_t>({1, 7, 2, 3}));
    EXPECT_EQ(std::vector({trainer.steps(), trainer.examplesSeen(), trainer.dataOrderState(),
                           trainer.accumulatedBatches(), trainer.windowStartExamples()}),
              std::vector({at(24), at(32), at(40), at(48), at(64)}));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(trainer.accumulatedLoss()), at(56));
    // Four sets of records in the canonical order of the weight layout, each a count and its values.
    std::size_t offset = countersEnd;
    for (const TransformerWeights* set :
         {&trainer.weights(), &trainer.firstMoments(), &trainer.secondMoments(), &trainer.gradientAccumulator()}) {
        forEachWeightTensor(*set, [&](const WeightSlot& slot, const Tensor& tensor) {
            ASSERT_EQ(at(offset), tensor.values.size()) << canonicalTensorName(slot);
            std::vector<double> stored;
            for (std::size_t i = 0; i < tensor.values.size(); ++i) {
                stored.push_back(std::bit_cast<double>(at(offset + 8 + 8 * i)));
            }
            EXPECT_EQ(stored, tensor.values) << canonicalTensorName(slot);
            offset += 8 + 8 * tensor.values.size();
        });
        // The weight records are the bytes the weights fingerprint hashes.
        EXPECT_TRUE(set != &trainer.weights() || weightsFingerprint(*set) == vestraFnv1a64(std::span(image).subspan(
                                                                                 countersEnd, offset - countersEnd)));
    }
    EXPECT_EQ(offset, image.size() - 8);  // and the checksum follows, or the restore would have refused
    EXPECT_EQ(trainer.checkpointBytes(), image);
}

TEST(VttCheckpoint, RefusedImagesNameTheirFaultAndChangeNothing) {
    const TransformerTrainer source = midWindow();
    const Bytes image = source.checkpointBytes();
    const std::size_t payloadEnd = image.size() - 8;
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
        {"unknown VTT checkpoint format", [&] { return edited(image.size(), 0, at(0) ^ 1); }},
        {"VTT model spec mismatch",
         [&] {
             return TransformerTrainer(otherBase, randomWeights(otherBase), scenarioTrainingConfig("tiny"))
                 .checkpointBytes();
         }},
        {"VTT training config mismatch", [&] { return tinyTrainer(otherSeed).checkpointBytes(); }},
        {"VTT tensor shape mismatch", [&] { return edited(image.size(), countersEnd, at(countersEnd) + 1); }},
        {"VTT tensor shape mismatch", [&] { return edited(image.size(), countersEnd, at(countersEnd) - 1); }},
        {"truncated VTT tensor", [&] { return edited(payloadEnd, 0, at(0)); }},
        {"truncated VTT checkpoint", [&] { return edited(payloadEnd - lastRecord + 8, 0, at(0)); }},
        {"VTT checkpoint has trailing payload", [&] { return edited(image.size() + 8, 0, at(0)); }},
        {"VTT contains non-finite tensor state",
         [&] {
             return edited(image.size(), countersEnd + (image.size() - 80) / 4 + 8,
                           bits(std::numeric_limits<double>::quiet_NaN()));
         }},
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
    const Bytes image = midWindow().checkpointBytes();
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

// The image through a file and back. A load reads no more than the image size the trainer's shapes
// give: a longer file is refused before it is read whole, and the trainer is unchanged.
TEST(VttCheckpoint, FilesRoundTripAndOtherSizesAreRefused) {
    const auto path = std::filesystem::temp_directory_path() / ("vestra-vtt-" + std::to_string(::getpid()));
    const TransformerTrainer writer = midWindow();
    writer.saveCheckpoint(path);
    TransformerTrainer reader = tinyTrainer();
    reader.loadCheckpoint(path);
    EXPECT_EQ(reader.checkpointBytes(), writer.checkpointBytes());
    Bytes longer = writer.checkpointBytes();
    longer.push_back(0);
    writeCheckpointFile(path, longer);
    expectThrowWithMessage<std::runtime_error>([&] { reader.loadCheckpoint(path); },
                                               "VTT checkpoint file does not have the trainer's image size");
    EXPECT_EQ(reader.checkpointBytes(), writer.checkpointBytes());
    std::filesystem::remove(path);
}

TEST(VttCheckpoint, SummaryReadsAnImageWithoutATrainer) {
    const TransformerTrainer trainer = midWindow();
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

// The size from a spec alone must be the size of the set it describes, for every kind of set, and a
// spec whose size passes 64 bits has none rather than a wrapped one.
TEST(VttCheckpoint, SizeFromTheSpecIsTheSizeOfItsWeights) {
    for (const FeedForwardKind kind : {FeedForwardKind::SwiGlu, FeedForwardKind::Gelu}) {
        for (const bool tied : {false, true}) {
            for (const std::uint32_t layers : {1u, 3u}) {
                SCOPED_TRACE(std::to_string(layers) + (tied ? " tied" : " untied"));
                const TransformerSpec spec = Testing::variantSpec({.vocabulary = 13,
                                                                   .layers = layers,
                                                                   .kvHeads = 1,
                                                                   .headDim = 3,
                                                                   .ffnDim = 5,
                                                                   .feedForward = kind,
                                                                   .tiedEmbeddings = tied});
                EXPECT_EQ(vttCheckpointSize(spec), vttCheckpointSize(zeroWeights(spec)));
            }
        }
    }
    const std::uint32_t most = std::numeric_limits<std::uint32_t>::max();
    TransformerSpec huge = Testing::variantSpec({});
    huge.layers = most;
    huge.model_dim = most;
    huge.ffn_dim = most;
    EXPECT_EQ(vttCheckpointSize(huge), std::nullopt);
    huge = Testing::variantSpec({});
    huge.query_heads = most;
    huge.head_dim = most;
    huge.model_dim = most;  // one tensor of 2^96 values, in a model of one layer
    huge.layers = 1;
    EXPECT_EQ(vttCheckpointSize(huge), std::nullopt);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
