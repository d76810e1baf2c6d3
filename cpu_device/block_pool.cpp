#include "cpu_device/block_pool.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#include "cpu_device/control.h"

namespace Halcyne::Core::Vestra::CpuDevice {
namespace {

constexpr unsigned kMaxExecutionThreads = 8;
constexpr std::chrono::microseconds kWatchForNextLaunch{200};

std::atomic<unsigned>& executionThreadCount() {
    static std::atomic<unsigned> count{std::clamp(std::thread::hardware_concurrency(), 1u, kMaxExecutionThreads)};
    return count;
}

}  // namespace

void setExecutionThreads(unsigned count) {
    executionThreadCount() = std::max(count, 1u);
}

unsigned executionThreads() {
    return executionThreadCount();
}

BlockPool& BlockPool::instance() {
    static BlockPool pool;
    return pool;
}

BlockPool::~BlockPool() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& helper : helpers_) {
        helper.join();
    }
}

void BlockPool::run(unsigned participants, const std::function<void()>& work) {
    const std::lock_guard launch(launchMutex_);
    const unsigned helpers = participants - 1;
    bool sleeping = false;
    {
        const std::lock_guard lock(mutex_);
        while (helpers_.size() < helpers) {
            helpers_.emplace_back([this, index = static_cast<unsigned>(helpers_.size())] { serve(index); });
        }
        work_ = &work;
        wanted_ = helpers;
        open_ = true;
        generation_.store(generation_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
        sleeping = sleeping_ != 0;
    }
    // A helper still watching for the next launch sees it without being woken.
    if (sleeping) {
        wake_.notify_all();
    }
    work();
    std::unique_lock lock(mutex_);
    open_ = false;
    finished_.wait(lock, [this] { return running_ == 0; });
    work_ = nullptr;
}

void BlockPool::serve(unsigned index) {
    std::uint64_t seen = 0;
    std::unique_lock lock(mutex_);
    for (;;) {
        // The launches of a step come tens of microseconds apart, less than waking a sleeping thread
        // costs both threads: a helper watches for the next one for a while, yielding its core to
        // any other thread that wants it, before it sleeps.
        lock.unlock();
        const auto watchUntil = std::chrono::steady_clock::now() + kWatchForNextLaunch;
        while (generation_.load(std::memory_order_acquire) == seen && std::chrono::steady_clock::now() < watchUntil) {
            std::this_thread::yield();
        }
        lock.lock();
        ++sleeping_;
        wake_.wait(lock, [&] { return stopping_ || generation_.load(std::memory_order_relaxed) != seen; });
        --sleeping_;
        if (stopping_) {
            return;
        }
        seen = generation_.load(std::memory_order_relaxed);
        if (index >= wanted_ || !open_) {
            continue;
        }
        const std::function<void()>* work = work_;
        ++running_;
        lock.unlock();
        (*work)();
        lock.lock();
        if (--running_ == 0) {
            finished_.notify_one();
        }
    }
}

}  // namespace Halcyne::Core::Vestra::CpuDevice
