#include "cli/run_lock.h"

#include <stdexcept>
#include <string>

#include "cli/file_io.h"

#ifdef _WIN32
#include "core/windows_api.h"
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#endif

namespace Halcyne::Core::Vestra::Cli {
namespace {

std::string inUse(const std::filesystem::path& root, const std::string& holder) {
    return displayPath(root) + " is in use by another vestra" + holder +
           ": wait for it to stop (Ctrl-C saves its checkpoint), or choose another directory";
}

}  // namespace

#ifdef _WIN32

// A file opened with no sharing allowed is the lock: a second opener is refused until the handle
// closes, which the system does when the process ends.
RunLock::RunLock(const std::filesystem::path& root) {
    const std::filesystem::path file = root / "lock";
    const HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_SHARING_VIOLATION) {
            throw std::runtime_error(inUse(root, ""));
        }
        throw std::runtime_error("cannot open " + displayPath(file));
    }
    handle_ = handle;
}

RunLock::~RunLock() {
    CloseHandle(static_cast<HANDLE>(handle_));
}

#else

namespace {

// The process that holds a lock on the file open at `descriptor`, as the kernel lists
// it in /proc/locks ("1: FLOCK  ADVISORY  WRITE 4242 08:01:1311 0 EOF"); empty where none is found.
std::string lockHolder(int descriptor) {
    struct stat status {};
    if (::fstat(descriptor, &status) != 0) {
        return {};
    }
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string id, kind, mode, access, pid, file;
        fields >> id >> kind >> mode >> access >> pid >> file;
        const std::size_t colon = file.rfind(':');
        if (kind == "FLOCK" && colon != std::string::npos &&
            file.substr(colon + 1) == std::to_string(static_cast<unsigned long long>(status.st_ino))) {
            return pid;
        }
    }
    return {};
}

}  // namespace

// The directory itself is locked (flock on a descriptor of it), so taking the lock writes nothing
// and a refused command changes nothing; /proc/locks names the holder.
RunLock::RunLock(const std::filesystem::path& root) {
    descriptor_ = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor_ < 0) {
        throw std::runtime_error("cannot open " + displayPath(root) + ": " + std::strerror(errno));
    }
    if (::flock(descriptor_, LOCK_EX | LOCK_NB) != 0) {
        const int reason = errno;
        const std::string holder = lockHolder(descriptor_);
        ::close(descriptor_);
        descriptor_ = -1;
        if (reason != EWOULDBLOCK) {
            throw std::runtime_error("cannot lock " + displayPath(root) + ": " + std::strerror(reason));
        }
        throw std::runtime_error(inUse(root, holder.empty() ? "" : " (process " + holder + ")"));
    }
}

RunLock::~RunLock() {
    if (descriptor_ >= 0) {
        ::close(descriptor_);  // releases the lock
    }
}

#endif

}  // namespace Halcyne::Core::Vestra::Cli
