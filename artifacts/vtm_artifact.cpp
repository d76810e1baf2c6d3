#include "artifacts/vtm_artifact.h"

#include <array>
#include <bit>
#include <stdexcept>
#include <vector>

#include "core/hash.h"

namespace Halcyne::Core::Vestra {
namespace {

constexpr const char* stringTooLong = "artifact string exceeds uint32 length";
constexpr std::uint8_t elementTypeFloat64 = 1;

// Hash of a tensor's payload bytes, computed from the values without building the payload.
std::uint64_t payloadChecksum(std::span<const double> values) {
    std::uint64_t hash = vestraFnvStart;
    for (const double value : values) {
        hash = vestraFnv1a64Extend(hash, littleEndian64(std::bit_cast<std::uint64_t>(value)));
    }
    return hash;
}

}  // namespace

Bytes buildVtmArtifact(const TransformerSpec& spec, const TransformerWeights& weights,
                       const std::optional<std::string>& tokenizerFingerprint) {
    std::vector<const Tensor*> tensors;
    Bytes records;
    ByteWriter record(records);
    std::uint64_t payloadSize = 0;
    forEachWeightTensor(weights, [&](const WeightSlot& slot, const Tensor& tensor) {
        const std::uint64_t length = std::uint64_t{tensor.values.size()} * 8;
        record.string(canonicalTensorName(slot), stringTooLong);
        record.u8(elementTypeFloat64);
        record.u32(static_cast<std::uint32_t>(tensor.shape.size()));
        for (const std::uint64_t extent : tensor.shape) {
            record.u64(extent);
        }
        record.u64(payloadSize);
        record.u64(length);
        record.u64(payloadChecksum(tensor.values));
        payloadSize += length;
        tensors.push_back(&tensor);
    });

    Bytes manifest;
    ByteWriter head(manifest);
    head.u64(transformerSpecFingerprint(spec));
    head.u8(tokenizerFingerprint ? 1 : 0);
    if (tokenizerFingerprint) {
        head.string(*tokenizerFingerprint, stringTooLong);
    }
    head.u32(static_cast<std::uint32_t>(tensors.size()));
    head.raw(records);

    Bytes artifact;
    artifact.reserve(vtmHeaderSize + manifest.size() + payloadSize);
    ByteWriter out(artifact);
    out.raw(std::string_view("VSTRVTM1"));
    out.u16(1);
    out.u16(0x4C45);
    out.u32(0);
    out.u64(manifest.size());
    out.u64(payloadSize);
    out.u64(0);  // checksum, filled in once the image is complete
    out.raw(manifest);
    for (const Tensor* tensor : tensors) {
        out.f64s(tensor->values);
    }
    out.patchU64(vtmChecksumOffset, vtmArtifactChecksum(artifact));
    return artifact;
}

std::uint64_t vtmArtifactChecksum(std::span<const std::uint8_t> artifact) {
    if (artifact.size() < vtmHeaderSize) {
        throw std::invalid_argument("artifact is shorter than its header");
    }
    constexpr std::array<std::uint8_t, 8> zeroField{};
    std::uint64_t hash = vestraFnv1a64Extend(vestraFnvStart, artifact.first(vtmChecksumOffset));
    hash = vestraFnv1a64Extend(hash, zeroField);
    return vestraFnv1a64Extend(hash, artifact.subspan(vtmChecksumOffset + zeroField.size()));
}

}  // namespace Halcyne::Core::Vestra
