// The VTM reader against arbitrary images, as they are and with their whole-image checksum
// recomputed so that mutations reach the manifest checks behind it. A refusal is always
// std::invalid_argument; an accepted image agrees with itself (checksums, payload size), and one
// whose tensors are a tiny model's weights is exactly what the writer makes of those weights.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <stdexcept>

#include "artifacts/vtm_artifact.h"
#include "artifacts/vtm_reader.h"
#include "core/hash.h"
#include "support/spec_variants.h"

namespace Vestra = Halcyne::Core::Vestra;

namespace {

void require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

void readOrRefuse(std::span<const std::uint8_t> image) {
    Vestra::VtmContents contents;
    try {
        contents = Vestra::readVtmArtifact(image);
    } catch (const std::invalid_argument&) {
        return;
    }
    require(contents.checksum == Vestra::vtmArtifactChecksum(image));
    std::uint64_t payload = 0;
    for (const Vestra::VtmTensor& tensor : contents.tensors) {
        Vestra::Bytes bytes;
        Vestra::ByteWriter(bytes).f64s(tensor.tensor.values);
        require(Vestra::vestraFnv1a64(bytes) == tensor.checksum);
        payload += bytes.size();
    }
    require(Vestra::vtmHeaderSize + payload <= image.size());

    for (const bool tied : {false, true}) {
        const auto spec = Vestra::Testing::tinyVariantSpec(Vestra::FeedForwardKind::Gelu, tied);
        Vestra::TransformerWeights weights;
        try {
            weights = Vestra::vtmWeights(contents, spec);
        } catch (const std::invalid_argument&) {
            continue;
        }
        const Vestra::Bytes rebuilt = Vestra::buildVtmArtifact(spec, weights, contents.tokenizerFingerprint);
        require(std::equal(rebuilt.begin(), rebuilt.end(), image.begin(), image.end()));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> image(data, size);
    readOrRefuse(image);
    if (size >= Vestra::vtmHeaderSize) {
        Vestra::Bytes resealed(image.begin(), image.end());
        Vestra::ByteWriter(resealed).patchU64(Vestra::vtmChecksumOffset, Vestra::vtmArtifactChecksum(resealed));
        readOrRefuse(resealed);
    }
    return 0;
}
