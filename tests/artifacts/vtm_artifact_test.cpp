#include "artifacts/vtm_artifact.h"

#include <gtest/gtest.h>

#include "core/hash.h"
#include "driver/fixtures.h"

namespace Halcyne::Core::Vestra {
namespace {

// Reads the image back independently of the writer.
struct Reader {
    const Bytes& bytes;
    std::size_t at = 0;

    std::uint64_t le(int width) {
        std::uint64_t value = 0;
        for (int i = 0; i < width; ++i) {
            value |= std::uint64_t{bytes.at(at++)} << (8 * i);
        }
        return value;
    }
    std::string text() {
        const auto length = static_cast<std::size_t>(le(4));
        std::string value(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                          bytes.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
        return value;
    }
};

struct Record {
    std::string name;
    std::uint8_t type;
    Extents shape;
    std::uint64_t offset, length, checksum;
};

std::vector<Record> readRecords(Reader& in) {
    std::vector<Record> records(in.le(4));
    for (Record& record : records) {
        record.name = in.text();
        record.type = static_cast<std::uint8_t>(in.le(1));
        record.shape.resize(in.le(4));
        for (std::uint64_t& extent : record.shape)
            extent = in.le(8);
        record.offset = in.le(8);
        record.length = in.le(8);
        record.checksum = in.le(8);
    }
    return records;
}

TEST(VtmArtifact, SmallImageByteByByte) {
    TransformerWeights weights;
    weights.token_embedding = Tensor(Extents{1, 2});
    weights.token_embedding.values = {1.0, -2.0};
    weights.layers.resize(1);
    weights.layers[0].ffn_norm = Tensor(Extents{}, 0.5);
    weights.final_norm = Tensor(Extents{1}, 0.25);
    const Bytes image = buildVtmArtifact(fixtureSpec(), weights, std::string("d625d64e85fdde02"));

    const Bytes header = {'V', 'S', 'T', 'R', 'V', 'T', 'M', '1', 1, 0, 0x45, 0x4C, 0, 0, 0, 0};
    ASSERT_GT(image.size(), 40u);
    EXPECT_EQ(Bytes(image.begin(), image.begin() + 16), header);
    Reader in{image, 16};
    const std::uint64_t manifestLength = in.le(8);
    const std::uint64_t payloadLength = in.le(8);
    const std::uint64_t checksum = in.le(8);
    EXPECT_EQ(payloadLength, 4u * 8u);
    ASSERT_EQ(image.size(), 40u + manifestLength + payloadLength);

    EXPECT_EQ(in.le(8), 0x2f2a7f8d28135c50ULL);
    EXPECT_EQ(in.le(1), 1u);
    EXPECT_EQ(in.text(), "d625d64e85fdde02");
    const std::vector<Record> records = readRecords(in);
    EXPECT_EQ(in.at, 40u + manifestLength);

    const std::vector<std::string> names = {
        "token_embedding", "layers.0.attention_norm",   "layers.0.query",    "layers.0.key",
        "layers.0.value",  "layers.0.attention_output", "layers.0.ffn_norm", "layers.0.ffn_gate",
        "layers.0.ffn_up", "layers.0.ffn_down",         "final_norm"};
    ASSERT_EQ(records.size(), names.size());
    const std::size_t payload = 40 + manifestLength;
    std::uint64_t expectedOffset = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const Record& record = records[i];
        EXPECT_EQ(record.name, names[i]);
        EXPECT_EQ(record.type, 1u);
        EXPECT_EQ(record.offset, expectedOffset);
        const auto begin = image.begin() + static_cast<std::ptrdiff_t>(payload + record.offset);
        const Bytes data(begin, begin + static_cast<std::ptrdiff_t>(record.length));
        EXPECT_EQ(record.checksum, vestraFnv1a64(data)) << record.name;
        expectedOffset += record.length;
    }
    // Absent tensors have rank 0 and no payload; a true scalar has rank 0 and one value.
    EXPECT_EQ(records[0].shape, (Extents{1, 2}));
    EXPECT_EQ((std::vector{records[1].shape.size(), records[1].length, records[6].shape.size(), records[6].length}),
              (std::vector<std::size_t>{0, 0, 0, 8}));
    EXPECT_EQ(records[10].shape, (Extents{1}));

    // Payload: 1.0, -2.0, 0.5, 0.25 as little-endian IEEE-754 bit patterns.
    const Bytes values = {0, 0, 0, 0, 0, 0, 0xF0, 0x3F, 0, 0, 0, 0, 0, 0, 0x00, 0xC0,
                          0, 0, 0, 0, 0, 0, 0xE0, 0x3F, 0, 0, 0, 0, 0, 0, 0xD0, 0x3F};
    EXPECT_EQ(Bytes(image.begin() + static_cast<std::ptrdiff_t>(payload), image.end()), values);

    Bytes zeroed = image;
    std::fill(zeroed.begin() + 32, zeroed.begin() + 40, std::uint8_t{0});
    EXPECT_EQ(checksum, vestraFnv1a64(zeroed));
    EXPECT_EQ(vtmArtifactChecksum(image), checksum);

    // Without a tokenizer the tensor count follows the flag at once; an output embedding is listed
    // last and its values end the payload.
    weights.output_embedding = Tensor(Extents{1}, 4.0);
    const Bytes untied = buildVtmArtifact(fixtureSpec(), weights, std::nullopt);
    Reader anonymous{untied, 48};
    EXPECT_EQ(anonymous.le(1), 0u);
    const std::vector<Record> untiedRecords = readRecords(anonymous);
    ASSERT_EQ(untiedRecords.size(), 12u);
    EXPECT_EQ(untiedRecords.back().name, "output_embedding");
    EXPECT_EQ(Bytes(untied.end() - 8, untied.end()), (Bytes{0, 0, 0, 0, 0, 0, 0x10, 0x40}));
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
