// Checkpoint files. A write replaces the target durably: the complete new image reaches stable
// storage under path + ".tmp" before one atomic rename puts it in place, so readers of the target
// see the old image or the new one, never a mix. The temporary is always a file the write created
// itself (a stale one, or a link by its name, is removed first and never followed); a failure
// before the rename leaves the target as it was and removes the temporary.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

#include "core/byte_writer.h"

namespace Halcyne::Core::Vestra {

// Throws std::runtime_error with the message of the failed stage.
void writeCheckpointFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

// The whole content of a file that must hold exactly expectedSize bytes; no more than one byte past
// that size is ever read. std::runtime_error "cannot open VTT checkpoint" when it cannot be opened,
// "cannot read VTT checkpoint" when reading it fails, "VTT checkpoint file does not have the
// trainer's image size" when it is shorter or longer.
[[nodiscard]] Bytes readCheckpointFile(const std::filesystem::path& path, std::uint64_t expectedSize);

}  // namespace Halcyne::Core::Vestra
