// Checkpoint files. A write replaces the target durably: the complete new image reaches stable
// storage under path + ".tmp" before one atomic rename puts it in place, so readers of the target
// see the old image or the new one, never a mix. The temporary is always a file the write created
// itself (a stale one, or a link by its name, is removed first and never followed); a failure
// before the rename leaves the target as it was and removes the temporary.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <system_error>

#include "core/byte_writer.h"

namespace Halcyne::Core::Vestra {

// A failed file operation: what() is the stage's message alone, cause() the system's reason for
// the failure (empty when it gave none), for a caller that reports both.
class CheckpointFileError : public std::runtime_error {
  public:
    CheckpointFileError(const char* message, std::error_code cause) : std::runtime_error(message), cause_(cause) {}
    [[nodiscard]] std::error_code cause() const noexcept { return cause_; }

  private:
    std::error_code cause_;
};

// Throws CheckpointFileError with the message of the failed stage.
void writeCheckpointFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

// The whole content of a file that must hold exactly expectedSize bytes; no more than one byte past
// that size is ever read. std::runtime_error "cannot open VTT checkpoint" when it cannot be opened,
// "cannot read VTT checkpoint" when reading it fails, "VTT checkpoint file does not have the
// trainer's image size" when it is shorter or longer.
[[nodiscard]] Bytes readCheckpointFile(const std::filesystem::path& path, std::uint64_t expectedSize);

}  // namespace Halcyne::Core::Vestra
