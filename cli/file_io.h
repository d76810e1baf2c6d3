// Whole-file reads and writes for the command's own files (JSON, metrics, pictures, artifacts).
// A write goes to path + ".tmp" first and is renamed over the target, so a reader never sees half a
// file and a failed write leaves the old one in place; no write follows a link. Checkpoints have
// their own durable writer.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace Halcyne::Core::Vestra::Cli {

// std::runtime_error "cannot read <path>" (with the system's reason when there is one).
[[nodiscard]] std::string readFile(const std::filesystem::path& path);

// std::runtime_error "cannot write <path>"; the temporary is removed on failure.
void writeFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);
void writeFileAtomically(const std::filesystem::path& path, std::string_view text);

// A file the command writes itself, opened without following a link at its path, so that nothing it
// writes lands where a planted link points; every write goes to its end. std::runtime_error "cannot
// write <path>: <reason>" on any failure.
class AppendFile {
  public:
    // The file at `path`, created when missing.
    [[nodiscard]] static AppendFile open(const std::filesystem::path& path) { return open(path, false); }
    // A new, empty file in place of whatever is at `path` (a link by that name included).
    [[nodiscard]] static AppendFile create(const std::filesystem::path& path) { return open(path, true); }

    void write(std::span<const std::uint8_t> bytes);
    void write(std::string_view text) {
        write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    }
    void close();

    AppendFile(AppendFile&& other) noexcept;
    AppendFile& operator=(AppendFile&&) = delete;
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;
    ~AppendFile();

  private:
    [[nodiscard]] static AppendFile open(const std::filesystem::path& path, bool fresh);
#ifdef _WIN32
    AppendFile(std::filesystem::path path, void* handle) : path_(std::move(path)), handle_(handle) {}
#else
    AppendFile(std::filesystem::path path, int descriptor) : path_(std::move(path)), descriptor_(descriptor) {}
#endif

    std::filesystem::path path_;
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int descriptor_ = -1;
#endif
};

// The path as the user wrote it, for messages.
[[nodiscard]] std::string displayPath(const std::filesystem::path& path);

}  // namespace Halcyne::Core::Vestra::Cli
