// One trainer per run directory: a run holds an advisory lock on its directory (on Windows, on a
// "lock" file in it) for as long as it trains, so that a second `train` on the same directory is
// refused in one line, naming the process that holds it where the system tells, instead of both
// writing the same files. The lock goes with the process, however it ends.
#pragma once

#include <filesystem>

namespace Halcyne::Core::Vestra::Cli {

class RunLock {
  public:
    // Takes the lock of the run directory `root`; std::runtime_error when another process holds it.
    explicit RunLock(const std::filesystem::path& root);
    ~RunLock();
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

  private:
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int descriptor_ = -1;
#endif
};

}  // namespace Halcyne::Core::Vestra::Cli
