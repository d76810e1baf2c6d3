// Whole-file reads and writes for the command's own files (JSON, metrics, pictures, artifacts).
// A write goes to path + ".tmp" first and is renamed over the target, so a reader never sees half a
// file and a failed write leaves the old one in place. Checkpoints have their own durable writer.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace Halcyne::Core::Vestra::Cli {

// std::runtime_error "cannot read <path>" (with the system's reason when there is one).
[[nodiscard]] std::string readFile(const std::filesystem::path& path);

// std::runtime_error "cannot write <path>"; the temporary is removed on failure.
void writeFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);
void writeFileAtomically(const std::filesystem::path& path, std::string_view text);

// The path as the user wrote it, for messages.
[[nodiscard]] std::string displayPath(const std::filesystem::path& path);

}  // namespace Halcyne::Core::Vestra::Cli
