// Host threads that help the calling thread run the blocks of one launch. Started on first use,
// kept for the life of the process; one launch at a time.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace Halcyne::Core::Vestra::CpuDevice {

class BlockPool {
  public:
    static BlockPool& instance();

    BlockPool() = default;
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;
    ~BlockPool();

    // Runs `work` on `participants` threads at once, the calling thread among them, and returns
    // when every one has finished it. `work` must not throw.
    void run(unsigned participants, const std::function<void()>& work);

  private:
    void serve(unsigned index);

    std::mutex launchMutex_;  // one launch at a time
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable finished_;
    std::vector<std::thread> helpers_;
    const std::function<void()>* work_ = nullptr;
    std::uint64_t generation_ = 0;
    unsigned wanted_ = 0;
    unsigned busy_ = 0;
    bool stopping_ = false;
};

}  // namespace Halcyne::Core::Vestra::CpuDevice
