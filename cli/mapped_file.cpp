#include "cli/mapped_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

#include "cli/file_io.h"

#ifdef _WIN32
#include "core/windows_api.h"
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace Halcyne::Core::Vestra::Cli {
namespace {

[[noreturn]] void cannotRead(const std::filesystem::path& path, std::error_code error) {
    std::string message = "cannot read " + displayPath(path);
    if (error) {
        message += ": " + error.message();
    }
    throw std::runtime_error(message);
}

#ifdef _WIN32
std::error_code lastError() {
    return {static_cast<int>(GetLastError()), std::system_category()};
}
#else
std::error_code posixError(int error) {
    return {error, std::generic_category()};
}

// The guarded mapping and the line a fault inside it prints, composed when the file is mapped
// because the handler may do no more than write it out. A process maps one text at a time; the
// latest is guarded.
char faultLine[512];
std::size_t faultLineSize = 0;
const volatile std::uint8_t* guardedBegin = nullptr;
const volatile std::uint8_t* guardedEnd = nullptr;

void onBusError(int signal, siginfo_t* info, void*) {
    const auto* at = static_cast<const std::uint8_t*>(info->si_addr);
    if (at >= guardedBegin && at < guardedEnd) {
        (void)!write(STDERR_FILENO, faultLine, faultLineSize);
        _exit(1);
    }
    // Not ours: the default action, as if no handler were installed.
    ::signal(signal, SIG_DFL);
    (void)raise(signal);
}

void guardAgainstTruncation(const std::filesystem::path& path, const std::uint8_t* data, std::size_t size) {
    const std::string line = "vestra: " + displayPath(path) + " was cut short while it was being read\n";
    faultLineSize = std::min(line.size(), sizeof faultLine);
    std::memcpy(faultLine, line.data(), faultLineSize);
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    guardedBegin = data;
    guardedEnd = data + (size + page - 1) / page * page;  // the fault may be anywhere on the last page
    struct sigaction action {};
    action.sa_sigaction = onBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    (void)sigaction(SIGBUS, &action, nullptr);
}
#endif

}  // namespace

#ifdef _WIN32

MappedFile MappedFile::open(const std::filesystem::path& path) {
    // Others may read the file, and even write it, while it is mapped; not delete or truncate it.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        cannotRead(path, lastError());
    }
    if (GetFileType(file) != FILE_TYPE_DISK) {
        // A pipe or a device has no pages to map: it is read whole, through the handle already open.
        std::string bytes;
        char chunk[1 << 16];
        DWORD read = 0;
        BOOL ok = FALSE;
        while ((ok = ReadFile(file, chunk, sizeof chunk, &read, nullptr)) && read > 0) {
            bytes.append(chunk, read);
        }
        const std::error_code error = ok || GetLastError() == ERROR_BROKEN_PIPE ? std::error_code() : lastError();
        CloseHandle(file);  // a pipe ends with its writer
        if (error) {
            cannotRead(path, error);
        }
        return MappedFile(std::move(bytes));
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size) || static_cast<unsigned long long>(size.QuadPart) > SIZE_MAX) {
        const std::error_code error = lastError();
        CloseHandle(file);
        cannotRead(path, error);
    }
    if (size.QuadPart == 0) {
        CloseHandle(file);
        return MappedFile(nullptr, 0);
    }
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    std::error_code error = mapping == nullptr ? lastError() : std::error_code();
    CloseHandle(file);  // the mapping keeps the file open
    if (error) {
        cannotRead(path, error);
    }
    const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    error = view == nullptr ? lastError() : std::error_code();
    CloseHandle(mapping);  // the view keeps the mapping
    if (error) {
        cannotRead(path, error);
    }
    return MappedFile(static_cast<const std::uint8_t*>(view), static_cast<std::size_t>(size.QuadPart));
}

MappedFile::~MappedFile() {
    if (data_ != nullptr && owned_.empty()) {
        UnmapViewOfFile(data_);
    }
}

#else

MappedFile MappedFile::open(const std::filesystem::path& path) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        cannotRead(path, posixError(errno));
    }
    struct stat status {};
    if (fstat(descriptor, &status) != 0) {
        const int error = errno;
        ::close(descriptor);
        cannotRead(path, posixError(error));
    }
    if (S_ISDIR(status.st_mode)) {
        ::close(descriptor);
        cannotRead(path, posixError(EISDIR));
    }
    if (!S_ISREG(status.st_mode)) {
        // A pipe or a device has no pages to map: it is read whole, from the descriptor already
        // open (a pipe opened again might have lost its writer).
        std::string bytes;
        char chunk[1 << 16];
        for (;;) {
            const ssize_t got = ::read(descriptor, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                const int error = got < 0 ? errno : 0;
                ::close(descriptor);
                if (got < 0) {
                    cannotRead(path, posixError(error));
                }
                return MappedFile(std::move(bytes));
            }
            bytes.append(chunk, static_cast<std::size_t>(got));
        }
    }
    const auto size = static_cast<std::size_t>(status.st_size);
    if (size == 0) {
        ::close(descriptor);
        return MappedFile(nullptr, 0);
    }
    void* view = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, descriptor, 0);
    const int error = errno;
    ::close(descriptor);  // the mapping keeps the file
    if (view == MAP_FAILED) {
        cannotRead(path, posixError(error));
    }
    guardAgainstTruncation(path, static_cast<const std::uint8_t*>(view), size);
    return MappedFile(static_cast<const std::uint8_t*>(view), size);
}

MappedFile::~MappedFile() {
    if (data_ != nullptr && owned_.empty()) {
        if (guardedBegin == data_) {
            guardedBegin = guardedEnd = nullptr;  // the addresses may be given to something else
        }
        munmap(const_cast<std::uint8_t*>(data_), size_);
    }
}

#endif

MappedFile::MappedFile(std::string bytes) noexcept : size_(bytes.size()), owned_(std::move(bytes)) {
    // Bytes it owns, or none at all: a pointer with nothing owned would be taken for a mapping.
    data_ = owned_.empty() ? nullptr : reinterpret_cast<const std::uint8_t*>(owned_.data());
}

MappedFile::MappedFile(MappedFile&& other) noexcept : MappedFile(other.data_, other.size_) {
    if (!other.owned_.empty()) {
        owned_ = std::move(other.owned_);
        data_ = reinterpret_cast<const std::uint8_t*>(owned_.data());
    }
    other.data_ = nullptr;
    other.size_ = 0;
}

}  // namespace Halcyne::Core::Vestra::Cli
