// Host threads that help the calling thread run the blocks of one launch (or the columns of one
// GEMM). Started on first use, kept for the life of the process; one launch at a time.
#pragma once

#include <atomic>
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

    // Runs `work` on up to `participants` threads at once, the calling thread among them. `work`
    // takes its share from what is left of a job that every call drains together, so the job is done
    // once the calling thread's call has returned and so have those of the helpers that started:
    // run returns then, without waiting for a helper that has not woken yet (on a busy machine that
    // can take a whole time slice), which skips the launch when it does wake. `work` must not throw.
    void run(unsigned participants, const std::function<void()>& work);

  private:
    void serve(unsigned index);

    std::mutex launchMutex_;  // one launch at a time
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable finished_;
    std::vector<std::thread> helpers_;
    const std::function<void()>* work_ = nullptr;
    std::atomic<std::uint64_t> generation_{0};  // written under mutex_, watched without it
    unsigned sleeping_ = 0;                     // helpers waiting on wake_
    unsigned wanted_ = 0;
    unsigned running_ = 0;  // helpers inside `work`
    bool open_ = false;     // whether a helper that wakes may still start `work`
    bool stopping_ = false;
};

}  // namespace Halcyne::Core::Vestra::CpuDevice
