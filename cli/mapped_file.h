// A file's bytes mapped read-only into memory rather than read into it: the pages come from the
// file as they are touched, and the system may drop them again, so a text of any size costs the
// process little more than what it is reading at the moment. A file cut short while it is mapped
// would fault on the pages it lost; on POSIX systems that fault ends the process with one line
// naming the file instead of a bare bus error (Windows refuses to truncate a mapped file).
// A pipe, which has no pages to map, is read whole instead.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace Halcyne::Core::Vestra::Cli {

class MappedFile {
  public:
    // std::runtime_error "cannot read <path>" (with the system's reason when there is one). An empty
    // file maps to no bytes.
    [[nodiscard]] static MappedFile open(const std::filesystem::path& path);

    [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept { return {data_, size_}; }
    [[nodiscard]] std::string_view view() const noexcept { return {reinterpret_cast<const char*>(data_), size_}; }

    MappedFile(MappedFile&& other) noexcept;
    MappedFile& operator=(MappedFile&&) = delete;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();

  private:
    MappedFile(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}
    explicit MappedFile(std::string bytes) noexcept;

    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::string owned_;  // the bytes of a file that cannot be mapped (a pipe), read whole
};

}  // namespace Halcyne::Core::Vestra::Cli
