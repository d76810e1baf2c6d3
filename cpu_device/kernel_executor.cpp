#include "cpu_device/kernel_executor.h"

#include <boost/context/detail/fcontext.hpp>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "cpu_device/block_pool.h"
#include "cpu_device/control.h"
#include "cpu_device/fiber_stacks.h"
#include "cpu_device/sanitizer.h"

namespace Halcyne::Core::Vestra::CpuDevice {
namespace {

using boost::context::detail::fcontext_t;
using boost::context::detail::jump_fcontext;
using boost::context::detail::make_fcontext;
using boost::context::detail::transfer_t;

// Below this many CUDA threads a launch stays on the calling thread: waking helpers costs more.
constexpr std::uint64_t kParallelThreshold = 16384;
constexpr std::size_t kSharedAlignment = 256;

// Sequential: one fiber runs the block's threads in turn (the barrier-free fast path).
// Fibers: every thread has its own fiber, switched at barriers.
enum class Mode : std::uint8_t { Sequential, Fibers };

// Why a fiber handed control back to the scheduler.
enum class Event : std::uint8_t { Returned, Barrier, Diverged };

// What one host thread needs to run blocks: fiber stacks, contexts, the dynamic shared memory and
// the block in flight.
struct HostWorker {
    FiberStacks stacks;
    std::vector<fcontext_t> contexts = std::vector<fcontext_t>(FiberStacks::kMaxStacks);
    std::vector<std::uint8_t> waiting = std::vector<std::uint8_t>(FiberStacks::kMaxStacks);
    std::vector<unsigned char> sharedStorage;
    unsigned char* shared = nullptr;
    KernelBody body{};
    dim3 block;
    unsigned threads = 0;
    Mode mode = Mode::Sequential;
    Event event = Event::Returned;
    unsigned current = 0;
    fcontext_t scheduler = nullptr;
#if VESTRA_CPU_DEVICE_ASAN
    void* schedulerFakeStack = nullptr;
    const void* schedulerStackBottom = nullptr;
    std::size_t schedulerStackSize = 0;
#endif
};

constinit thread_local HostWorker* runningWorker = nullptr;

HostWorker& hostWorker() {
    thread_local HostWorker worker;
    return worker;
}

void setThreadIndex(const dim3& block, unsigned linear) {
    if (block.y == 1 && block.z == 1) {
        threadIdx = {linear, 0, 0};
        return;
    }
    const unsigned rest = linear / block.x;
    threadIdx = {linear % block.x, rest % block.y, rest / block.y};
}

// Fiber side: hands control to the scheduler and returns when it resumes this fiber.
void yieldToScheduler(HostWorker& worker, Event event) {
    worker.event = event;
#if VESTRA_CPU_DEVICE_ASAN
    void* fakeStack = nullptr;
    __sanitizer_start_switch_fiber(&fakeStack, worker.schedulerStackBottom, worker.schedulerStackSize);
#endif
    const transfer_t resumed = jump_fcontext(worker.scheduler, nullptr);
#if VESTRA_CPU_DEVICE_ASAN
    __sanitizer_finish_switch_fiber(fakeStack, &worker.schedulerStackBottom, &worker.schedulerStackSize);
#endif
    worker.scheduler = resumed.fctx;
}

[[noreturn]] void finishFiber(HostWorker& worker) {
    worker.event = Event::Returned;
#if VESTRA_CPU_DEVICE_ASAN
    __sanitizer_start_switch_fiber(nullptr, worker.schedulerStackBottom, worker.schedulerStackSize);
#endif
    jump_fcontext(worker.scheduler, nullptr);
    std::abort();  // a finished fiber is never resumed
}

// A kernel must not throw (it cannot on a GPU); noexcept turns an escape into std::terminate
// rather than an unwind across the fiber's first frame.
void fiberEntry(transfer_t transfer) noexcept {
    auto& worker = *static_cast<HostWorker*>(transfer.data);
    worker.scheduler = transfer.fctx;
#if VESTRA_CPU_DEVICE_ASAN
    __sanitizer_finish_switch_fiber(nullptr, &worker.schedulerStackBottom, &worker.schedulerStackSize);
#endif
    if (worker.mode == Mode::Sequential) {
        for (unsigned thread = 0; thread < worker.threads && worker.mode == Mode::Sequential; ++thread) {
            worker.current = thread;
            setThreadIndex(worker.block, thread);
            worker.body.invoke(worker.body.closure);
        }
    } else {
        worker.body.invoke(worker.body.closure);
    }
    finishFiber(worker);
}

// Scheduler side.
void startFiber(HostWorker& worker, unsigned thread) {
    worker.contexts[thread] = make_fcontext(worker.stacks.top(thread), FiberStacks::size(), fiberEntry);
}

Event resume(HostWorker& worker, unsigned thread) {
    worker.current = thread;
    setThreadIndex(worker.block, thread);
#if VESTRA_CPU_DEVICE_ASAN
    __sanitizer_start_switch_fiber(&worker.schedulerFakeStack, worker.stacks.bottom(thread), FiberStacks::size());
#endif
    const transfer_t back = jump_fcontext(worker.contexts[thread], &worker);
#if VESTRA_CPU_DEVICE_ASAN
    __sanitizer_finish_switch_fiber(worker.schedulerFakeStack, nullptr, nullptr);
#endif
    worker.contexts[thread] = back.fctx;
    return worker.event;
}

std::string divergence(unsigned threads, const std::string& what) {
    return "__syncthreads in block (" + std::to_string(blockIdx.x) + ", " + std::to_string(blockIdx.y) + ", " +
           std::to_string(blockIdx.z) + ") of " + std::to_string(threads) + " threads: " + what;
}

std::optional<std::string> runBlock(HostWorker& worker) {
    worker.mode = Mode::Sequential;
    startFiber(worker, 0);
    const Event first = resume(worker, 0);
    if (worker.mode == Mode::Sequential) {
        if (first == Event::Returned) {
            return std::nullopt;
        }
        // A thread after the first reached a barrier that the threads before it had returned past.
        worker.stacks.discardFrames(1);
        return divergence(worker.threads, "thread " + std::to_string(worker.current) + " reached it after " +
                                              std::to_string(worker.current) + " returned without it");
    }
    // Thread 0 waits at the block's first barrier; every other thread starts and runs up to it.
    unsigned waiting = 1;
    unsigned returned = 0;
    worker.waiting[0] = 1;
    for (unsigned thread = 1; thread < worker.threads; ++thread) {
        startFiber(worker, thread);
        const bool atBarrier = resume(worker, thread) == Event::Barrier;
        worker.waiting[thread] = atBarrier ? 1 : 0;
        (atBarrier ? waiting : returned) += 1;
    }
    while (waiting > 0) {
        if (returned > 0) {
            worker.stacks.discardFrames(worker.threads);
            return divergence(worker.threads, std::to_string(waiting) + " waiting at it, " + std::to_string(returned) +
                                                  " returned without it");
        }
        waiting = 0;
        for (unsigned thread = 0; thread < worker.threads; ++thread) {
            if (worker.waiting[thread] == 0) {
                continue;
            }
            const bool atBarrier = resume(worker, thread) == Event::Barrier;
            worker.waiting[thread] = atBarrier ? 1 : 0;
            (atBarrier ? waiting : returned) += 1;
        }
    }
    return std::nullopt;
}

struct GridJob {
    dim3 grid;
    dim3 block;
    std::size_t sharedBytes = 0;
    KernelBody body{};
    std::uint64_t blocks = 0;
    std::uint64_t chunk = 1;
    std::atomic<std::uint64_t> next{0};
    std::mutex faultMutex;
    std::uint64_t faultBlock = UINT64_MAX;
    std::string fault;

    void recordFault(std::uint64_t index, std::string description) {
        const std::lock_guard lock(faultMutex);
        if (index < faultBlock) {
            faultBlock = index;
            fault = std::move(description);
        }
    }
};

void prepareWorker(HostWorker& worker, const GridJob& job) {
    worker.body = job.body;
    worker.block = job.block;
    worker.threads = job.block.x * job.block.y * job.block.z;
    worker.stacks.reserve(worker.threads);
    worker.sharedStorage.resize(job.sharedBytes + kSharedAlignment);
    const auto address = reinterpret_cast<std::uintptr_t>(worker.sharedStorage.data());
    worker.shared = worker.sharedStorage.data() + (kSharedAlignment - address % kSharedAlignment) % kSharedAlignment;
    blockDim = job.block;
    gridDim = job.grid;
}

// Runs chunks of blocks until none is left; every participant of a launch calls it.
void runBlocks(GridJob& job) noexcept {
    HostWorker& worker = hostWorker();
    try {
        prepareWorker(worker, job);
    } catch (const std::exception& error) {
        job.recordFault(0, std::string("cannot prepare a host thread for the launch: ") + error.what());
        return;
    }
    runningWorker = &worker;
    const std::uint64_t columns = job.grid.x;
    const std::uint64_t plane = columns * job.grid.y;
    for (;;) {
        const std::uint64_t first = job.next.fetch_add(job.chunk, std::memory_order_relaxed);
        if (first >= job.blocks) {
            break;
        }
        const std::uint64_t last = std::min(job.blocks, first + job.chunk);
        for (std::uint64_t index = first; index < last; ++index) {
            blockIdx = {static_cast<unsigned>(index % columns), static_cast<unsigned>(index % plane / columns),
                        static_cast<unsigned>(index / plane)};
            if (job.sharedBytes > 0) {
                std::memset(worker.shared, 0xFF, job.sharedBytes);
            }
            if (auto fault = runBlock(worker)) {
                job.recordFault(index, std::move(*fault));
            }
        }
    }
    runningWorker = nullptr;
}

}  // namespace

std::optional<std::string> executeGrid(dim3 grid, dim3 block, std::size_t sharedBytes, KernelBody body) {
    GridJob job;
    job.grid = grid;
    job.block = block;
    job.sharedBytes = sharedBytes;
    job.body = body;
    job.blocks = std::uint64_t{grid.x} * grid.y * grid.z;
    const std::uint64_t threads = job.blocks * block.x * block.y * block.z;
    unsigned participants = 1;
    if (threads >= kParallelThreshold) {
        participants = static_cast<unsigned>(std::min<std::uint64_t>(executionThreads(), job.blocks));
    }
    // Small chunks balance uneven blocks; blocks are independent, so the split never shows in results.
    job.chunk = std::max<std::uint64_t>(1, job.blocks / (std::uint64_t{participants} * 8));
    if (participants == 1) {
        runBlocks(job);
    } else {
        BlockPool::instance().run(participants, [&job] { runBlocks(job); });
    }
    if (job.faultBlock == UINT64_MAX) {
        return std::nullopt;
    }
    return std::move(job.fault);
}

void* dynamicSharedMemory() noexcept {
    return runningWorker != nullptr ? runningWorker->shared : nullptr;
}

}  // namespace Halcyne::Core::Vestra::CpuDevice

void __syncthreads() {
    using namespace Halcyne::Core::Vestra::CpuDevice;
    HostWorker* worker = runningWorker;
    if (worker == nullptr) {
        std::fputs("__syncthreads called outside a kernel launch\n", stderr);
        std::abort();
    }
    if (worker->mode == Mode::Sequential) {
        if (worker->current != 0) {
            yieldToScheduler(*worker, Event::Diverged);  // never resumed
        }
        worker->mode = Mode::Fibers;
    }
    yieldToScheduler(*worker, Event::Barrier);
}
