#include "training/checkpoint_file.h"

#include <fstream>
#include <stdexcept>
#include <system_error>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace Halcyne::Core::Vestra {
namespace {

// DirectoryFlush comes after a successful rename: the target already holds the new image and the
// temporary is gone, only the durability of the replacement is unknown.
enum class ReplaceFailure { None, OpenForFlush, Flush, Replace, DirectoryFlush };

#ifdef _WIN32

ReplaceFailure flushAndReplace(const std::filesystem::path& temporary, const std::filesystem::path& target) {
    const HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return ReplaceFailure::OpenForFlush;
    }
    const BOOL flushed = FlushFileBuffers(file);
    CloseHandle(file);
    if (!flushed) {
        return ReplaceFailure::Flush;
    }
    // MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH: the call returns once the move is on disk.
    static_assert((MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 9);
    if (!MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return ReplaceFailure::Replace;
    }
    return ReplaceFailure::None;
}

#else

// fsync, then close; a failure of either means the data may not be on stable storage.
bool syncAndClose(int descriptor) {
    const bool synced = ::fsync(descriptor) == 0;
    const bool closed = ::close(descriptor) == 0;
    return synced && closed;
}

// rename is atomic but not durable on its own: the directory entry reaches stable storage only
// with an fsync of the directory, which is what write-through asks of the replacement step.
ReplaceFailure flushAndReplace(const std::filesystem::path& temporary, const std::filesystem::path& target) {
    const int file = ::open(temporary.c_str(), O_WRONLY | O_CLOEXEC);
    if (file < 0) {
        return ReplaceFailure::OpenForFlush;
    }
    if (!syncAndClose(file)) {
        return ReplaceFailure::Flush;
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        return ReplaceFailure::Replace;
    }
    const std::filesystem::path parent = target.parent_path().empty() ? "." : target.parent_path();
    const int directory = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0 || !syncAndClose(directory)) {
        return ReplaceFailure::DirectoryFlush;
    }
    return ReplaceFailure::None;
}

#endif

}  // namespace

void writeCheckpointFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    std::filesystem::path temporary = path;
    temporary += ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            throw std::runtime_error("cannot create temporary VTT checkpoint");
        }
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        out.flush();
        out.close();
        if (!out) {
            throw std::runtime_error("cannot flush temporary VTT checkpoint");
        }
    }
    const ReplaceFailure failure = flushAndReplace(temporary, path);
    if (failure == ReplaceFailure::None) {
        return;
    }
    if (failure == ReplaceFailure::DirectoryFlush) {
        // Nothing to clean up: the temporary became the target, which readers now see whole.
        throw std::runtime_error("VTT checkpoint replaced but its directory could not be flushed");
    }
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    switch (failure) {
        case ReplaceFailure::OpenForFlush:
            throw std::runtime_error("cannot open temporary VTT checkpoint for flush");
        case ReplaceFailure::Flush:
            throw std::runtime_error("cannot durably flush temporary VTT checkpoint");
        default:
            throw std::runtime_error("cannot atomically replace VTT checkpoint");
    }
}

Bytes readCheckpointFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot open VTT checkpoint");
    }
    // Chunked reads rather than a size query: the size of what was opened is not always known
    // (a pipe, a directory), and istream::read reports a failed read as badbit instead of throwing.
    Bytes bytes;
    constexpr std::size_t chunk = 1 << 16;
    while (in) {
        const std::size_t at = bytes.size();
        bytes.resize(at + chunk);
        in.read(reinterpret_cast<char*>(bytes.data() + at), chunk);
        bytes.resize(at + static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad()) {
        throw std::runtime_error("cannot read VTT checkpoint");
    }
    return bytes;
}

}  // namespace Halcyne::Core::Vestra
