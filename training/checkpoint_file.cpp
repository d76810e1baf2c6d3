#include "training/checkpoint_file.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <stdexcept>
#include <system_error>

#ifdef _WIN32
#include "core/windows_api.h"
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace Halcyne::Core::Vestra {
namespace {

// Create: no temporary was made, so there is nothing of ours to remove. DirectoryFlush comes after
// a successful rename: the target already holds the new image and the temporary is gone, only the
// durability of the replacement is unknown. Every other failure leaves a temporary to remove.
enum class ReplaceFailure { None, Create, Write, Flush, Replace, DirectoryFlush };

// The stage that failed and the system's reason for it.
struct ReplaceOutcome {
    ReplaceFailure failure = ReplaceFailure::None;
    std::error_code cause;
};

#ifdef _WIN32

// CREATE_NEW fails on any existing name, a link included, and FILE_FLAG_OPEN_REPARSE_POINT keeps
// the call from resolving one, so the file written is always one this call made.
HANDLE createTemporary(const std::filesystem::path& temporary) {
    (void)DeleteFileW(temporary.c_str());  // a stale temporary (or a link by that name) itself
    return CreateFileW(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

std::error_code lastError() {
    return {static_cast<int>(GetLastError()), std::system_category()};
}

bool writeAll(HANDLE file, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const auto request = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        DWORD written = 0;
        if (!WriteFile(file, bytes.data(), request, &written, nullptr) || written == 0) {
            return false;
        }
        bytes = bytes.subspan(written);
    }
    return true;
}

ReplaceOutcome writeAndReplace(const std::filesystem::path& temporary, const std::filesystem::path& target,
                               std::span<const std::uint8_t> bytes) {
    const HANDLE file = createTemporary(temporary);
    if (file == INVALID_HANDLE_VALUE) {
        return {ReplaceFailure::Create, lastError()};
    }
    const bool written = writeAll(file, bytes);
    const std::error_code writeError = written ? std::error_code() : lastError();
    const BOOL flushed = written && FlushFileBuffers(file);
    const std::error_code flushError = flushed ? std::error_code() : lastError();
    const BOOL closed = CloseHandle(file);
    if (!written) {
        return {ReplaceFailure::Write, writeError};
    }
    if (!flushed || !closed) {
        return {ReplaceFailure::Flush, flushed ? lastError() : flushError};
    }
    // MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH: the call returns once the move is on disk.
    static_assert((MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 9);
    if (!MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return {ReplaceFailure::Replace, lastError()};
    }
    return {};
}

#else

// A stale temporary is unlinked (a link by that name goes, not what it points to), and the new one
// is created exclusively without following links: the bytes always go into a file this call made.
int createTemporary(const std::filesystem::path& temporary) {
    (void)::unlink(temporary.c_str());
    return ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

std::error_code lastError() {
    return {errno, std::generic_category()};
}

// The reason a write stopped short; a write that takes no byte without an error is a full device.
std::error_code writeAll(int descriptor, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(descriptor, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0) {
            return lastError();
        }
        if (written == 0) {
            return std::make_error_code(std::errc::no_space_on_device);
        }
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return {};
}

// fsync, then close; a failure of either means the data may not be on stable storage.
std::error_code syncAndClose(int descriptor) {
    std::error_code cause;
    if (::fsync(descriptor) != 0) {
        cause = lastError();
    }
    if (::close(descriptor) != 0 && !cause) {
        cause = lastError();
    }
    return cause;
}

// rename is atomic but not durable on its own: the directory entry reaches stable storage only
// with an fsync of the directory, which is what write-through asks of the replacement step.
ReplaceOutcome writeAndReplace(const std::filesystem::path& temporary, const std::filesystem::path& target,
                               std::span<const std::uint8_t> bytes) {
    const int file = createTemporary(temporary);
    if (file < 0) {
        return {ReplaceFailure::Create, lastError()};
    }
    if (const std::error_code cause = writeAll(file, bytes)) {
        (void)::close(file);
        return {ReplaceFailure::Write, cause};
    }
    if (const std::error_code cause = syncAndClose(file)) {
        return {ReplaceFailure::Flush, cause};
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        return {ReplaceFailure::Replace, lastError()};
    }
    const std::filesystem::path parent = target.parent_path().empty() ? "." : target.parent_path();
    const int directory = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) {
        return {ReplaceFailure::DirectoryFlush, lastError()};
    }
    if (const std::error_code cause = syncAndClose(directory)) {
        return {ReplaceFailure::DirectoryFlush, cause};
    }
    return {};
}

#endif

}  // namespace

void writeCheckpointFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    std::filesystem::path temporary = path;
    temporary += ".tmp";
    const ReplaceOutcome outcome = writeAndReplace(temporary, path, bytes);
    switch (outcome.failure) {
        case ReplaceFailure::None:
            return;
        case ReplaceFailure::Create:
            throw CheckpointFileError("cannot create temporary VTT checkpoint", outcome.cause);
        case ReplaceFailure::DirectoryFlush:
            // Nothing to clean up: the temporary became the target, which readers now see whole.
            throw CheckpointFileError("VTT checkpoint replaced but its directory could not be flushed", outcome.cause);
        default:
            break;
    }
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    switch (outcome.failure) {
        case ReplaceFailure::Write:
            throw CheckpointFileError("cannot flush temporary VTT checkpoint", outcome.cause);
        case ReplaceFailure::Flush:
            throw CheckpointFileError("cannot durably flush temporary VTT checkpoint", outcome.cause);
        default:
            throw CheckpointFileError("cannot atomically replace VTT checkpoint", outcome.cause);
    }
}

Bytes readCheckpointFile(const std::filesystem::path& path, std::uint64_t expectedSize) {
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw CheckpointFileError("cannot open VTT checkpoint", {errno, std::generic_category()});
    }
    // Chunked reads rather than a size query: the size of what was opened is not always known
    // (a pipe, a device, a directory), and istream::read reports a failed read as badbit instead
    // of throwing. One byte past the expected size is enough to refuse a longer file, so an
    // endless source is never read to its end.
    Bytes bytes;
    constexpr std::uint64_t chunk = 1 << 16;
    while (in && bytes.size() <= expectedSize) {
        const std::size_t at = bytes.size();
        const auto want = static_cast<std::size_t>(std::min(chunk, expectedSize + 1 - at));
        bytes.resize(at + want);
        in.read(reinterpret_cast<char*>(bytes.data() + at), static_cast<std::streamsize>(want));
        bytes.resize(at + static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad()) {
        throw CheckpointFileError("cannot read VTT checkpoint", {errno, std::generic_category()});
    }
    if (bytes.size() != expectedSize) {
        throw std::runtime_error("VTT checkpoint file does not have the trainer's image size");
    }
    return bytes;
}

}  // namespace Halcyne::Core::Vestra
