#include "cpu_device/block_pool.h"

#include <algorithm>
#include <atomic>

#include "cpu_device/control.h"

namespace Halcyne::Core::Vestra::CpuDevice {
namespace {

constexpr unsigned kMaxExecutionThreads = 8;

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
    {
        const std::lock_guard lock(mutex_);
        while (helpers_.size() < helpers) {
            helpers_.emplace_back([this, index = static_cast<unsigned>(helpers_.size())] { serve(index); });
        }
        work_ = &work;
        wanted_ = helpers;
        open_ = true;
        ++generation_;
    }
    wake_.notify_all();
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
        wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
        if (stopping_) {
            return;
        }
        seen = generation_;
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
