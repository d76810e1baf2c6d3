// The VTM model artifact: a self-describing byte image of one model (spec fingerprint, optional
// tokenizer fingerprint, a manifest of named double tensors, their raw values), protected by one
// whole-image checksum at offset 32 and one checksum per tensor. The system only writes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "core/byte_writer.h"
#include "core/transformer_spec.h"
#include "core/transformer_weights.h"

namespace Halcyne::Core::Vestra {

inline constexpr std::size_t vtmHeaderSize = 40;
inline constexpr std::size_t vtmChecksumOffset = 32;

// Header: "VSTRVTM1", u16 version 1, u16 mark 0x4C45, u32 reserved, u64 manifest length,
// u64 payload length, u64 checksum; then the manifest and the payload. Throws
// std::invalid_argument "artifact string exceeds uint32 length" for an oversized name.
[[nodiscard]] Bytes buildVtmArtifact(const TransformerSpec& spec, const TransformerWeights& weights,
                                     const std::optional<std::string>& tokenizerFingerprint);

// The whole-image checksum with the checksum field (offsets 32 to 39) taken as zero: what the
// writer stores there, and what a verifier recomputes.
[[nodiscard]] std::uint64_t vtmArtifactChecksum(std::span<const std::uint8_t> artifact);

}  // namespace Halcyne::Core::Vestra
