// The VTT checkpoint image: the complete, self-checking byte image of a training state. Magic
// "VSTRVTT1", the spec and configuration fingerprints, the six counters, then four tensor sets
// (weights, first moments, second moments, the open window's gradient sum) as element count +
// little-endian doubles in canonical parameter order, and an FNV-1a checksum of everything before
// it. Shapes are not stored: the reader takes them from the sets it fills.
#pragma once

#include <cstdint>
#include <span>

#include "core/byte_writer.h"
#include "core/transformer_weights.h"
#include "training/training_counters.h"

namespace Halcyne::Core::Vestra {

// The four tensor sets of an image, in image order.
template <class Weights>
struct CheckpointTensorSets {
    Weights& weights;
    Weights& firstMoments;
    Weights& secondMoments;
    Weights& gradientAccumulator;
};

[[nodiscard]] Bytes encodeVttCheckpoint(std::uint64_t specFingerprint, std::uint64_t configFingerprint,
                                        const TrainingCounters& counters,
                                        CheckpointTensorSets<const TransformerWeights> sets);

// The image without its checksum, once the size and the checksum have been checked: throws
// std::invalid_argument "truncated VTT checkpoint" or "VTT checksum mismatch".
[[nodiscard]] std::span<const std::uint8_t> checkedVttPayload(std::span<const std::uint8_t> image);

// Reads a checked payload into counters and sets, whose tensors give the element counts the image
// must have. Throws std::invalid_argument with the first fault met; on a throw the outputs may be
// partly written, so callers decode into staging copies.
void decodeVttPayload(std::span<const std::uint8_t> payload, std::uint64_t specFingerprint,
                      std::uint64_t configFingerprint, TrainingCounters& counters,
                      CheckpointTensorSets<TransformerWeights> sets);

}  // namespace Halcyne::Core::Vestra
