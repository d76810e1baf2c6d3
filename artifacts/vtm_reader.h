// The reading half of the VTM model artifact (the writer is vtm_artifact.h). Everything the writer
// writes is checked: header constants, section lengths that add up to the image size, the whole-image
// checksum, each record's element type, shape, contiguous payload range and tensor checksum, and that
// no manifest or payload byte is left over. A refused image throws std::invalid_argument with one
// message naming the fault; nothing is returned partly read.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/tensor.h"
#include "core/transformer_spec.h"
#include "core/transformer_weights.h"

namespace Halcyne::Core::Vestra {

struct VtmTensor {
    std::string name;
    Tensor tensor;  // rank 0 without values for an empty tensor, as the writer lists it
    std::uint64_t checksum = 0;
};

struct VtmContents {
    std::uint64_t specFingerprint = 0;
    std::optional<std::string> tokenizerFingerprint;
    std::vector<VtmTensor> tensors;  // in manifest order
    std::uint64_t checksum = 0;      // the whole-image checksum stored at offset 32
};

[[nodiscard]] VtmContents readVtmArtifact(std::span<const std::uint8_t> artifact);

// The artifact's tensors as the weights of `spec`: the spec fingerprint must be the artifact's, and
// the tensors must be the canonical list for that spec, name for name and shape for shape.
[[nodiscard]] TransformerWeights vtmWeights(const VtmContents& contents, const TransformerSpec& spec);

}  // namespace Halcyne::Core::Vestra
