#include "artifacts/vtm_reader.h"

#include <stdexcept>
#include <string_view>
#include <unordered_set>

#include "artifacts/vtm_artifact.h"
#include "core/byte_reader.h"
#include "core/hash.h"

namespace Halcyne::Core::Vestra {
namespace {

constexpr const char* truncated = "truncated VTM artifact";
constexpr std::uint8_t elementTypeFloat64 = 1;

[[noreturn]] void refuse(const char* message) {
    throw std::invalid_argument(message);
}

struct VtmHeader {
    std::uint64_t manifestLength = 0;
    std::uint64_t payloadLength = 0;
    std::uint64_t checksum = 0;
};

// The header constants, then the two section lengths against the image size, then the checksum:
// past this point every byte is known to be the writer's, so the manifest checks below find
// inconsistencies a writer could have made, not transport damage.
VtmHeader readHeader(std::span<const std::uint8_t> artifact) {
    ByteReader in(artifact, truncated);
    const auto magic = in.raw(8);
    if (std::string_view(reinterpret_cast<const char*>(magic.data()), magic.size()) != "VSTRVTM1") {
        refuse("unknown VTM artifact format");
    }
    if (in.u16() != 1) {
        refuse("unsupported VTM format version");
    }
    if (in.u16() != 0x4C45) {
        refuse("VTM byte-order mark mismatch");
    }
    if (in.u32() != 0) {
        refuse("VTM reserved field is not zero");
    }
    VtmHeader header;
    header.manifestLength = in.u64();
    header.payloadLength = in.u64();
    header.checksum = in.u64();
    // Compared by subtraction: a hostile length could wrap a sum.
    const std::uint64_t body = in.remaining();
    if (header.manifestLength > body || header.payloadLength != body - header.manifestLength) {
        refuse("VTM section lengths do not match the artifact size");
    }
    if (vtmArtifactChecksum(artifact) != header.checksum) {
        refuse("VTM checksum mismatch");
    }
    return header;
}

std::string readString(ByteReader& in) {
    const auto bytes = in.raw(in.u32());
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// One manifest record and its values. Offsets must follow each other from 0 in list order, so that
// the payload is exactly the concatenation the writer makes.
VtmTensor readTensor(ByteReader& manifest, std::span<const std::uint8_t> payload, std::uint64_t expectedOffset) {
    VtmTensor entry;
    entry.name = readString(manifest);
    if (manifest.u8() != elementTypeFloat64) {
        refuse("VTM tensor has an unknown element type");
    }
    const std::uint32_t rank = manifest.u32();
    for (std::uint32_t i = 0; i < rank; ++i) {  // one at a time: a hostile rank runs out of bytes first
        entry.tensor.shape.push_back(manifest.u64());
    }
    const std::uint64_t offset = manifest.u64();
    const std::uint64_t length = manifest.u64();
    entry.checksum = manifest.u64();

    std::uint64_t count = 0;
    if (rank > 0 || length > 0) {
        try {
            count = elementCount(entry.tensor.shape);
        } catch (const std::exception&) {
            refuse("VTM tensor has a zero or oversized extent");
        }
    }
    if (count > payload.size() / 8 || length != count * 8) {
        refuse("VTM tensor payload length does not match its shape");
    }
    if (offset != expectedOffset) {
        refuse("VTM tensor payload is not where the previous one ends");
    }
    if (length > payload.size() - offset) {
        refuse("VTM tensor payload lies outside the payload");
    }
    const auto bytes = payload.subspan(offset, length);
    if (vestraFnv1a64(bytes) != entry.checksum) {
        refuse("VTM tensor checksum mismatch");
    }
    entry.tensor.values.resize(count);
    ByteReader(bytes, truncated).f64s(entry.tensor.values, truncated);
    return entry;
}

}  // namespace

VtmContents readVtmArtifact(std::span<const std::uint8_t> artifact) {
    const VtmHeader header = readHeader(artifact);
    ByteReader manifest(artifact.subspan(vtmHeaderSize, header.manifestLength), truncated);
    const auto payload = artifact.subspan(vtmHeaderSize + header.manifestLength);

    VtmContents contents;
    contents.checksum = header.checksum;
    contents.specFingerprint = manifest.u64();
    const std::uint8_t hasTokenizer = manifest.u8();
    if (hasTokenizer > 1) {
        refuse("VTM tokenizer flag is neither 0 nor 1");
    }
    if (hasTokenizer == 1) {
        contents.tokenizerFingerprint = readString(manifest);
    }
    const std::uint32_t count = manifest.u32();
    std::unordered_set<std::string> names;
    std::uint64_t payloadEnd = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        VtmTensor tensor = readTensor(manifest, payload, payloadEnd);
        if (!names.insert(tensor.name).second) {
            refuse("VTM tensor name appears twice");
        }
        payloadEnd += tensor.tensor.values.size() * 8;
        contents.tensors.push_back(std::move(tensor));
    }
    if (!manifest.atEnd()) {
        refuse("VTM manifest has trailing bytes");
    }
    if (payloadEnd != payload.size()) {
        refuse("VTM payload has bytes no tensor claims");
    }
    return contents;
}

TransformerWeights vtmWeights(const VtmContents& contents, const TransformerSpec& spec) {
    if (contents.specFingerprint != transformerSpecFingerprint(spec)) {
        refuse("VTM artifact was written for another model specification");
    }
    TransformerWeights weights = zeroWeights(spec);
    std::size_t next = 0;
    forEachWeightTensor(weights, [&](const WeightSlot& slot, Tensor& tensor) {
        if (next == contents.tensors.size() || contents.tensors[next].name != canonicalTensorName(slot)) {
            refuse("VTM tensor list does not match the model specification");
        }
        const Tensor& stored = contents.tensors[next++].tensor;
        if (stored.shape != tensor.shape) {
            refuse("VTM tensor shape does not match the model specification");
        }
        tensor.values = stored.values;
    });
    if (next != contents.tensors.size()) {
        refuse("VTM tensor list does not match the model specification");
    }
    return weights;
}

}  // namespace Halcyne::Core::Vestra
