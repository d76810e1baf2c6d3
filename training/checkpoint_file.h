// Checkpoint files. A write replaces the target durably: the complete new image reaches stable
// storage under path + ".tmp" before one atomic rename puts it in place, so readers of the target
// see the old image or the new one, never a mix. A failure before the rename leaves the target as
// it was and, once the temporary stream is closed, removes the temporary file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

#include "core/byte_writer.h"

namespace Halcyne::Core::Vestra {

// Throws std::runtime_error with the message of the failed stage.
void writeCheckpointFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

// The whole content of the file; std::runtime_error "cannot open VTT checkpoint" when it cannot be
// opened, "cannot read VTT checkpoint" when reading it fails.
[[nodiscard]] Bytes readCheckpointFile(const std::filesystem::path& path);

}  // namespace Halcyne::Core::Vestra
