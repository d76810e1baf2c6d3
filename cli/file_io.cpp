#include "cli/file_io.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <utility>

#ifdef _WIN32
#include "core/windows_api.h"

#include <algorithm>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace Halcyne::Core::Vestra::Cli {
namespace {

[[noreturn]] void fail(const char* action, const std::filesystem::path& path, int error) {
    std::string message = std::string("cannot ") + action + " " + displayPath(path);
    if (error != 0) {
        message += ": " + std::generic_category().message(error);
    }
    throw std::runtime_error(message);
}

}  // namespace

std::string displayPath(const std::filesystem::path& path) {
    return path.string();
}

std::string readFile(const std::filesystem::path& path) {
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) {
        fail("read", path, EISDIR);
    }
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fail("read", path, errno);
    }
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        fail("read", path, errno);
    }
    return content;
}

void writeFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    std::filesystem::path temporary = path;
    temporary += ".tmp";
    try {
        AppendFile out = AppendFile::create(temporary);
        out.write(bytes);
        out.close();
    } catch (const std::exception&) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        throw;
    }
    // The rename replaces whatever stands at `path`, a link included, never what a link points to.
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (error) {
        std::filesystem::remove(temporary, error);
        fail("write", path, error.value());
    }
}

#ifdef _WIN32

// FILE_FLAG_OPEN_REPARSE_POINT keeps the call from resolving a link: the file opened is the one at
// the path itself.
AppendFile AppendFile::open(const std::filesystem::path& path, bool fresh) {
    if (fresh) {
        (void)DeleteFileW(path.c_str());  // a stale file, or a link by that name itself
    }
    const HANDLE handle =
        CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, fresh ? CREATE_NEW : OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        fail("write", path, 0);
    }
    return AppendFile(path, handle);
}

void AppendFile::write(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const auto request = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        DWORD written = 0;
        if (!WriteFile(static_cast<HANDLE>(handle_), bytes.data(), request, &written, nullptr) || written == 0) {
            fail("write", path_, 0);
        }
        bytes = bytes.subspan(written);
    }
}

void AppendFile::close() {
    if (handle_ != nullptr && !CloseHandle(static_cast<HANDLE>(std::exchange(handle_, nullptr)))) {
        fail("write", path_, 0);
    }
}

AppendFile::~AppendFile() {
    if (handle_ != nullptr) {
        CloseHandle(static_cast<HANDLE>(handle_));
    }
}

#else

// O_NOFOLLOW refuses a link at the path itself (ELOOP): what is written always lands in a file at
// that path, never in one a planted link points to.
AppendFile AppendFile::open(const std::filesystem::path& path, bool fresh) {
    if (fresh && ::unlink(path.c_str()) != 0 && errno != ENOENT) {
        fail("write", path, errno);
    }
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (fresh ? O_EXCL : 0);
    const int descriptor = ::open(path.c_str(), flags, 0644);
    if (descriptor < 0) {
        fail("write", path, errno);
    }
    return AppendFile(path, descriptor);
}

void AppendFile::write(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(descriptor_, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            fail("write", path_, written < 0 ? errno : ENOSPC);
        }
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
}

void AppendFile::close() {
    if (descriptor_ >= 0 && ::close(std::exchange(descriptor_, -1)) != 0) {
        fail("write", path_, errno);
    }
}

AppendFile::~AppendFile() {
    if (descriptor_ >= 0) {
        ::close(descriptor_);
    }
}

#endif

AppendFile::AppendFile(AppendFile&& other) noexcept
    : path_(std::move(other.path_)),
#ifdef _WIN32
      handle_(std::exchange(other.handle_, nullptr)) {
}
#else
      descriptor_(std::exchange(other.descriptor_, -1)) {
}
#endif

void writeFileAtomically(const std::filesystem::path& path, std::string_view text) {
    writeFileAtomically(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}  // namespace Halcyne::Core::Vestra::Cli
