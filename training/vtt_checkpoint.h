// The VTT checkpoint image: the complete, self-checking byte image of a training state. Magic
// "VSTRVTT1", the spec and configuration fingerprints, the six counters, then four tensor sets
// (weights, first moments, second moments, the open window's gradient sum) as element count +
// little-endian doubles in canonical parameter order, and an FNV-1a checksum of everything before
// it. Shapes are not stored: the reader takes them from the sets it fills.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/byte_writer.h"
#include "core/transformer_spec.h"
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

// The refusals of a reader, by fault. Each trainer reports them in its own words; a reader whose
// nonFiniteTensors is null leaves tensor values unchecked.
struct VttMessages {
    const char* truncated;
    const char* checksum;
    const char* format;
    const char* spec;
    const char* config;
    const char* shape;
    const char* truncatedTensor;
    const char* trailing;
    const char* nonFiniteTensors;
    const char* nonFiniteLoss;
};

inline constexpr VttMessages kVttMessages{
    "truncated VTT checkpoint",
    "VTT checksum mismatch",
    "unknown VTT checkpoint format",
    "VTT model spec mismatch",
    "VTT training config mismatch",
    "VTT tensor shape mismatch",
    "truncated VTT tensor",
    "VTT checkpoint has trailing payload",
    "VTT contains non-finite tensor state",
    "VTT contains non-finite loss",
};

// The size of the image of a training state whose four sets have the shapes of `weights`.
[[nodiscard]] std::uint64_t vttCheckpointSize(const TransformerWeights& weights);
// The same for the weight set zeroWeights(spec) would build, from the model's shapes alone: what a
// checkpoint must weigh before anything is allocated for its model. nullopt when the size does not
// fit in 64 bits.
[[nodiscard]] std::optional<std::uint64_t> vttCheckpointSize(const TransformerSpec& spec);

[[nodiscard]] Bytes encodeVttCheckpoint(std::uint64_t specFingerprint, std::uint64_t configFingerprint,
                                        const TrainingCounters& counters,
                                        CheckpointTensorSets<const TransformerWeights> sets);

// The image without its checksum, once the size and the checksum have been checked: throws
// std::invalid_argument with messages.truncated or messages.checksum.
[[nodiscard]] std::span<const std::uint8_t> checkedVttPayload(std::span<const std::uint8_t> image,
                                                              const VttMessages& messages = kVttMessages);

// The image of the same training state under another configuration fingerprint, with a fresh
// checksum: how a run whose schedule is replanned carries its state over to the new plan. The
// image's checksum and magic are checked first (std::invalid_argument with messages.truncated,
// messages.checksum or messages.format).
[[nodiscard]] Bytes rebasedVttImage(std::span<const std::uint8_t> image, std::uint64_t configFingerprint,
                                    const VttMessages& messages = kVttMessages);

// Reads a checked payload into counters and sets, whose tensors give the element counts the image
// must have. Throws std::invalid_argument with the first fault met; on a throw the outputs may be
// partly written, so callers decode into staging copies.
void decodeVttPayload(std::span<const std::uint8_t> payload, std::uint64_t specFingerprint,
                      std::uint64_t configFingerprint, TrainingCounters& counters,
                      CheckpointTensorSets<TransformerWeights> sets, const VttMessages& messages = kVttMessages);

// What an image holds, read without a trainer (for a person to inspect): the fingerprints, the
// counters and the record counts, which delimit the tensors themselves. The checksum is reported,
// not enforced; a malformed layout throws std::invalid_argument.
struct VttSummary {
    std::uint64_t storedChecksum = 0;
    std::uint64_t computedChecksum = 0;
    std::uint64_t specFingerprint = 0;
    std::uint64_t configFingerprint = 0;
    TrainingCounters counters;
    std::uint64_t tensorsPerSet = 0;
    std::uint64_t parameters = 0;  // values in the weight set
};

[[nodiscard]] VttSummary summarizeVttImage(std::span<const std::uint8_t> image);

}  // namespace Halcyne::Core::Vestra
