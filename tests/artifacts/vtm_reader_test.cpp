#include "artifacts/vtm_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <string_view>

#include "artifacts/vtm_artifact.h"
#include "core/transformer_model.h"
#include "driver/fixtures.h"
#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;

// The fixture model's artifact: a 16-digit tokenizer fingerprint, then 11 records, the first
// "token_embedding" [258, 8].
constexpr std::size_t manifestStart = 40;
constexpr std::size_t tokenizerFlag = manifestStart + 8;
constexpr std::size_t tensorCount = tokenizerFlag + 1 + 4 + 16;
constexpr std::size_t firstRecord = tensorCount + 4;
constexpr std::size_t firstType = firstRecord + 4 + 15;
constexpr std::size_t firstExtents = firstType + 1 + 4;
constexpr std::size_t firstOffset = firstExtents + 16;
constexpr std::size_t firstChecksum = firstOffset + 16;

void patch(Bytes& image, std::size_t offset, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        image.at(offset + static_cast<std::size_t>(i)) = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

void reseal(Bytes& image) {
    ByteWriter(image).patchU64(vtmChecksumOffset, vtmArtifactChecksum(image));
}

std::uint64_t field(const Bytes& image, std::size_t offset) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | image.at(offset + static_cast<std::size_t>(i));
    }
    return value;
}

// Grows (or shrinks) a section and its length field, keeping the header consistent.
void resizeSection(Bytes& image, std::size_t lengthField, std::size_t at, std::ptrdiff_t delta) {
    if (delta > 0) {
        image.insert(image.begin() + static_cast<std::ptrdiff_t>(at), static_cast<std::size_t>(delta), 0);
    } else {
        image.erase(image.begin() + static_cast<std::ptrdiff_t>(at) + delta,
                    image.begin() + static_cast<std::ptrdiff_t>(at));
    }
    patch(image, lengthField, field(image, lengthField) + static_cast<std::uint64_t>(delta), 8);
}

TEST(VtmReader, ReadsBackWhatTheWriterWrote) {
    const auto model = fixtureModel();
    const VtmContents contents = readVtmArtifact(model->artifact());
    EXPECT_EQ(contents.specFingerprint, transformerSpecFingerprint(model->spec()));
    EXPECT_EQ(contents.tokenizerFingerprint, model->tokenizerFingerprint());
    EXPECT_EQ(contents.checksum, model->artifactFingerprint());
    ASSERT_EQ(contents.tensors.size(), 11u);
    EXPECT_EQ(contents.tensors[1].name, "layers.0.attention_norm");

    const TransformerWeights weights = vtmWeights(contents, model->spec());
    EXPECT_EQ(buildVtmArtifact(model->spec(), weights, model->tokenizerFingerprint()), model->artifact());

    // Untied, without a tokenizer, with an empty tensor (rank 0, no payload) listed.
    TransformerWeights untied = fixtureWeights();
    untied.output_embedding = Tensor({258, 8}, 0.5);
    untied.layers[0].ffn_gate = Tensor();
    const VtmContents bare = readVtmArtifact(buildVtmArtifact(fixtureSpec(), untied, std::nullopt));
    EXPECT_FALSE(bare.tokenizerFingerprint);
    EXPECT_EQ(bare.tensors.back().name, "output_embedding");
    EXPECT_TRUE(bare.tensors[7].tensor.shape.empty() && bare.tensors[7].tensor.values.empty());
}

TEST(VtmReader, RefusesEveryCorruption) {
    const Bytes image = fixtureModel()->artifact();
    const std::size_t payloadStart = manifestStart + field(image, 16);
    struct Case {
        const char* what;
        std::function<void(Bytes&)> corrupt;
        bool resealed;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"shorter than a header", [](Bytes& b) { b.resize(39); }, false, "truncated VTM artifact"},
        {"magic", [](Bytes& b) { b[7] = '2'; }, true, "unknown VTM artifact format"},
        {"version", [](Bytes& b) { patch(b, 8, 2, 2); }, true, "unsupported VTM format version"},
        {"byte-order mark", [](Bytes& b) { patch(b, 10, 0x454C, 2); }, true, "VTM byte-order mark mismatch"},
        {"reserved", [](Bytes& b) { patch(b, 12, 1, 4); }, true, "VTM reserved field is not zero"},
        {"a byte appended", [](Bytes& b) { b.push_back(0); }, true,
         "VTM section lengths do not match the artifact size"},
        {"manifest length past the end", [](Bytes& b) { patch(b, 16, b.size(), 8); }, true,
         "VTM section lengths do not match the artifact size"},
        {"payload byte, not resealed", [&](Bytes& b) { b[payloadStart] ^= 1; }, false, "VTM checksum mismatch"},
        {"checksum field", [](Bytes& b) { b[32] ^= 1; }, false, "VTM checksum mismatch"},
        {"tokenizer flag", [](Bytes& b) { b[tokenizerFlag] = 2; }, true, "VTM tokenizer flag is neither 0 nor 1"},
        {"element type", [](Bytes& b) { b[firstType] = 2; }, true, "VTM tensor has an unknown element type"},
        {"zero extent", [](Bytes& b) { patch(b, firstExtents, 0, 8); }, true,
         "VTM tensor has a zero or oversized extent"},
        {"extent", [](Bytes& b) { patch(b, firstExtents, 129, 8); }, true,
         "VTM tensor payload length does not match its shape"},
        {"extents whose byte size wraps to the stored length",  // (2^58 + 258) * 8 * 8 = 2^64 + 16512
         [](Bytes& b) { patch(b, firstExtents, (1ULL << 58) + 258, 8); }, true,
         "VTM tensor payload length does not match its shape"},
        {"offset", [](Bytes& b) { patch(b, firstOffset, 8, 8); }, true,
         "VTM tensor payload is not where the previous one ends"},
        {"tensor checksum", [](Bytes& b) { b[firstChecksum] ^= 1; }, true, "VTM tensor checksum mismatch"},
        {"payload byte", [&](Bytes& b) { b[payloadStart] ^= 1; }, true, "VTM tensor checksum mismatch"},
        {"duplicate name",  // "token_embedding" becomes another 15-byte name of the list
         [](Bytes& b) { std::ranges::copy(std::string_view("layers.0.ffn_up"), b.begin() + firstRecord + 4); }, true,
         "VTM tensor name appears twice"},
        {"one record more", [](Bytes& b) { patch(b, tensorCount, 12, 4); }, true, "truncated VTM artifact"},
        {"one record less", [](Bytes& b) { patch(b, tensorCount, 10, 4); }, true, "VTM manifest has trailing bytes"},
        {"payload grown", [](Bytes& b) { resizeSection(b, 24, b.size(), 8); }, true,
         "VTM payload has bytes no tensor claims"},
        {"payload cut short", [](Bytes& b) { resizeSection(b, 24, b.size(), -8); }, true,
         "VTM tensor payload lies outside the payload"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes corrupt = image;
        c.corrupt(corrupt);
        if (c.resealed) {
            reseal(corrupt);
        }
        expectThrowWithMessage<std::invalid_argument>([&] { (void)readVtmArtifact(corrupt); }, c.message);
    }
}

TEST(VtmReader, WeightsMustBeTheSpecsCanonicalList) {
    const TransformerSpec spec = fixtureSpec();
    TransformerSpec other = spec;
    other.context = 32;
    const auto weightsOf = [&](const TransformerWeights& weights) {
        return vtmWeights(readVtmArtifact(buildVtmArtifact(spec, weights, std::nullopt)), spec);
    };
    expectThrowWithMessage<std::invalid_argument>(
        [&] { (void)vtmWeights(readVtmArtifact(fixtureModel()->artifact()), other); },
        "VTM artifact was written for another model specification");

    TransformerWeights transposed = fixtureWeights();
    transposed.layers[0].ffn_down.shape = {16, 8};
    expectThrowWithMessage<std::invalid_argument>([&] { (void)weightsOf(transposed); },
                                                  "VTM tensor shape does not match the model specification");
    TransformerWeights extraLayer = fixtureWeights();
    extraLayer.layers.push_back(extraLayer.layers[0]);
    expectThrowWithMessage<std::invalid_argument>([&] { (void)weightsOf(extraLayer); },
                                                  "VTM tensor list does not match the model specification");
    TransformerWeights untied = fixtureWeights();
    untied.output_embedding = untied.token_embedding;
    expectThrowWithMessage<std::invalid_argument>([&] { (void)weightsOf(untied); },
                                                  "VTM tensor list does not match the model specification");
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
