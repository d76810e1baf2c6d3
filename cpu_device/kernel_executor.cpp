#include "cpu_device/kernel_executor.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "cpu_device/block_pool.h"
#include "cpu_device/control.h"
#include "cpu_device/host_worker.h"

namespace Halcyne::Core::Vestra::CpuDevice {

HostWorker& hostWorker() {
    thread_local HostWorker worker;
    return worker;
}

std::string blockName() {
    return "block (" + std::to_string(blockIdx.x) + ", " + std::to_string(blockIdx.y) + ", " +
           std::to_string(blockIdx.z) + ")";
}

std::string threadName(const dim3& block, unsigned linear) {
    const unsigned rest = linear / block.x;
    return "thread (" + std::to_string(linear % block.x) + ", " + std::to_string(rest % block.y) + ", " +
           std::to_string(rest / block.y) + ")";
}

std::string sharedByteName(const HostWorker& worker, std::ptrdiff_t offset) {
    const auto bytes = static_cast<std::ptrdiff_t>(worker.sharedBytes);
    const std::string extent = " the block's " + std::to_string(bytes) + " bytes of shared memory";
    if (offset < 0) {
        return "byte " + std::to_string(-offset) + " before the start of" + extent;
    }
    if (offset >= bytes) {
        return "byte " + std::to_string(offset - bytes) + " past the end of" + extent;
    }
    const auto staticSpan = static_cast<std::ptrdiff_t>(worker.staticSpan);
    return offset < staticSpan ? "byte " + std::to_string(offset) + " of static shared memory"
                               : "byte " + std::to_string(offset - staticSpan) + " of dynamic shared memory";
}

std::optional<std::ptrdiff_t> brokenSharedGuard(const HostWorker& worker) {
    static constexpr auto kFills = [] {
        std::array<std::array<unsigned char, kSharedGuardBytes>, 256> fills{};
        for (std::size_t fill = 0; fill < fills.size(); ++fill) {
            fills[fill].fill(static_cast<unsigned char>(fill));
        }
        return fills;
    }();
    const unsigned char* expected = kFills[worker.guardFill].data();
    const unsigned char* before = worker.shared - kSharedGuardBytes;
    if (const std::size_t at = nextChange(before, expected, 0, kSharedGuardBytes); at != kSharedGuardBytes) {
        return static_cast<std::ptrdiff_t>(at) - static_cast<std::ptrdiff_t>(kSharedGuardBytes);
    }
    const unsigned char* after = worker.shared + worker.sharedBytes;
    if (const std::size_t at = nextChange(after, expected, 0, kSharedGuardBytes); at != kSharedGuardBytes) {
        return static_cast<std::ptrdiff_t>(worker.sharedBytes + at);
    }
    return std::nullopt;
}

namespace {

using boost::context::detail::jump_fcontext;
using boost::context::detail::make_fcontext;
using boost::context::detail::transfer_t;

// Below this many CUDA threads a launch stays on the calling thread: waking helpers costs more.
constexpr std::uint64_t kParallelThreshold = 16384;
// A smaller launch spreads over the helpers once its blocks have run this long on the calling thread.
constexpr std::chrono::microseconds kSpreadAfter{40};
constexpr std::size_t kSharedAlignment = 256;

// Checking mode: whether a write by `thread` comes after the write that `writer` made at its epoch
// `epoch`: a warp exchange since, which both took part in (or through which the order passed).
bool orderedAfter(const HostWorker& worker, unsigned thread, unsigned writer, std::uint32_t epoch) {
    return thread / kWarpLanes == writer / kWarpLanes &&
           worker.clocks[std::size_t{thread} * kWarpLanes + writer % kWarpLanes] >= epoch;
}

// Checking mode: records that `thread` changed the tracked byte `offset` (of shared memory, or of
// the tracked global ranges) whose writer so far is `writer`; two threads writing one byte between
// barriers, with no warp exchange ordering them, is a race whatever the order they run in.
bool noteWrite(HostWorker& worker, unsigned thread, std::uint32_t& writer, std::uint32_t& epoch) {
    const std::uint32_t previous = writer;
    const bool race = previous != 0 && previous != thread + 1 && !orderedAfter(worker, thread, previous - 1, epoch);
    writer = thread + 1;
    epoch = worker.clocks[std::size_t{thread} * kWarpLanes + thread % kWarpLanes];
    return race;
}

void raiseHazard(HostWorker& worker, std::string text, bool address) {
    if (worker.hazard.empty()) {
        worker.hazard = std::move(text);
        worker.hazardIsAddress = address;
    }
}

// Calls `changed(offset)` for each byte of [now, now + bytes) that differs from `start`, and brings
// `start` up to date.
template <class Changed>
void foldChanges(const unsigned char* now, unsigned char* start, std::size_t bytes, Changed changed) {
    for (std::size_t offset = nextChange(now, start, 0, bytes); offset < bytes;
         offset = nextChange(now, start, offset + 1, bytes)) {
        start[offset] = now[offset];
        changed(offset);
    }
}

// Checking mode: `segmentStart` mirrors the shared memory as it was when the running thread was
// resumed, so only the bytes a thread changed are looked at; each run segment folds its changes in.
// The tracked global ranges are mirrored the same way, and the guard zone after the shared memory
// must keep its fill.
void endSegment(HostWorker& worker, unsigned thread) {
    if (!worker.watchThreads) {
        return;
    }
    if (ThreadProbe& probe = worker.probe; probe.byte != nullptr && *probe.byte != probe.held) {
        if (!probe.toggles) {
            probe.writer = std::min(probe.writer, thread);
            probe.held = *probe.byte;
        } else {
            probe.byte = nullptr;  // written by the thread: what others read now is not the probe
        }
    }
    foldChanges(worker.shared, worker.segmentStart.data(), worker.sharedBytes, [&](std::size_t offset) {
        const std::uint32_t previous = worker.writer[offset];
        if (noteWrite(worker, thread, worker.writer[offset], worker.writeEpoch[offset])) {
            raiseHazard(worker,
                        "shared-memory race in " + blockName() + ": " + threadName(worker.block, previous - 1) +
                            " and " + threadName(worker.block, thread) + " both write " +
                            sharedByteName(worker, static_cast<std::ptrdiff_t>(offset)) +
                            " with no barrier or warp exchange between them",
                        false);
        }
    });
    if (const auto broken = brokenSharedGuard(worker)) {
        raiseHazard(worker,
                    "out-of-bounds write: " + threadName(worker.block, thread) + " of " + blockName() + " writes " +
                        sharedByteName(worker, *broken),
                    true);
        std::memset(worker.shared - kSharedGuardBytes, worker.guardFill, kSharedGuardBytes);
        std::memset(worker.shared + worker.sharedBytes, worker.guardFill, kSharedGuardBytes);
    }
    for (const TrackedRange& range : worker.tracked) {
        foldChanges(range.begin, worker.trackedStart.data() + range.mirror, range.bytes, [&](std::size_t offset) {
            const std::size_t at = range.mirror + offset;
            if (worker.atomicBytes.contains(range.begin + offset)) {
                return;
            }
            const std::uint32_t previous = worker.trackedWriter[at];
            if (noteWrite(worker, thread, worker.trackedWriter[at], worker.trackedEpoch[at])) {
                raiseHazard(worker,
                            "global-memory race in " + blockName() + ": " + threadName(worker.block, previous - 1) +
                                " and " + threadName(worker.block, thread) + " both write " +
                                worker.describeGlobal(range.begin + offset) + ", with no barrier between them",
                            false);
            }
        });
    }
}

// Checking mode, while a fault is being located: gives the probed byte the value the thread about
// to run is to see.
void beginSegment(HostWorker& worker, unsigned thread) {
    ThreadProbe& probe = worker.probe;
    if (probe.byte == nullptr) {
        return;
    }
    if (!probe.toggles) {
        probe.held = *probe.byte;
        return;
    }
    probe.held = thread >= probe.first && thread < probe.last ? probe.probed : probe.reference;
    *probe.byte = probe.held;
    if (probe.byte >= worker.shared && probe.byte < worker.shared + worker.sharedBytes) {
        worker.segmentStart[static_cast<std::size_t>(probe.byte - worker.shared)] = probe.held;
    }
}

void newInterval(HostWorker& worker) {
    if (worker.watchThreads) {
        std::fill(worker.writer.begin(), worker.writer.end(), 0);
        std::fill(worker.trackedWriter.begin(), worker.trackedWriter.end(), 0);
    }
}

// Checking mode: every thread starts the block at epoch 1, ordered after no write of another.
void resetClocks(HostWorker& worker) {
    if (!worker.watchThreads) {
        return;
    }
    worker.clocks.assign(std::size_t{worker.threads} * kWarpLanes, 0);
    for (unsigned thread = 0; thread < worker.threads; ++thread) {
        worker.clocks[std::size_t{thread} * kWarpLanes + thread % kWarpLanes] = 1;
    }
}

}  // namespace

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

namespace {

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
    if (worker.mode == Mode::Sequential && !worker.watchThreads) {
        worker.sweep.reverse = worker.reverse;
        worker.body.sweep(worker.body.closure, worker.sweep);
    } else if (worker.mode == Mode::Sequential) {
        for (unsigned position = 0; position < worker.threads && worker.mode == Mode::Sequential; ++position) {
            const unsigned thread = inOrder(worker, position);
            worker.current = thread;
            worker.staticCursor[thread] = 0;
            setThreadIndex(worker.block, thread);
            beginSegment(worker, thread);
            worker.body.invoke(worker.body.closure);
            endSegment(worker, thread);
        }
    } else {
        worker.body.invoke(worker.body.closure);
    }
    finishFiber(worker);
}

// Scheduler side.
void startFiber(HostWorker& worker, unsigned thread) {
    worker.staticCursor[thread] = 0;
    worker.stackOf[thread] = thread;
    worker.contexts[thread] = make_fcontext(worker.stacks.top(thread), FiberStacks::size(), fiberEntry);
}

Event resume(HostWorker& worker, unsigned thread) {
    worker.current = thread;
    setThreadIndex(worker.block, thread);
    if (worker.watchThreads) [[unlikely]] {
        beginSegment(worker, thread);
    }
#if VESTRA_CPU_DEVICE_ASAN
    __sanitizer_start_switch_fiber(&worker.schedulerFakeStack, worker.stacks.bottom(worker.stackOf[thread]),
                                   FiberStacks::size());
#endif
    const transfer_t back = jump_fcontext(worker.contexts[thread], &worker);
#if VESTRA_CPU_DEVICE_ASAN
    __sanitizer_finish_switch_fiber(worker.schedulerFakeStack, nullptr, nullptr);
#endif
    worker.contexts[thread] = back.fctx;
    if (worker.watchThreads) [[unlikely]] {
        endSegment(worker, worker.current);
    }
    return worker.event;
}

std::string divergence(unsigned threads, const std::string& what) {
    return "__syncthreads in block (" + std::to_string(blockIdx.x) + ", " + std::to_string(blockIdx.y) + ", " +
           std::to_string(blockIdx.z) + ") of " + std::to_string(threads) + " threads: " + what;
}

// The fault that ends a block whose fibers are abandoned where they stand.
std::optional<std::string> abandon(HostWorker& worker, std::string fault) {
    worker.stacks.discardFrames(worker.threads);
    return fault;
}

std::string siteName(const HostWorker::BarrierSite& site) {
    const std::string_view file = site.file;
    const std::size_t slash = file.find_last_of('/');
    return std::string(slash == std::string_view::npos ? file : file.substr(slash + 1)) + ":" +
           std::to_string(site.line);
}

// Every thread of a block waits at a barrier: they must all wait at the same one, as a GPU's barrier
// counts arrivals wherever they come from and so would let threads past two different ones.
std::optional<std::string> divergentBarrier(const HostWorker& worker) {
    const HostWorker::BarrierSite& first = worker.barrierSites[0];
    for (unsigned thread = 1; thread < worker.threads; ++thread) {
        const HostWorker::BarrierSite& site = worker.barrierSites[thread];
        if (site.line != first.line || (site.file != first.file && std::strcmp(site.file, first.file) != 0)) {
            return "divergent barrier in " + blockName() + ": " + threadName(worker.block, 0) +
                   " waits at the __syncthreads at " + siteName(first) + " and " + threadName(worker.block, thread) +
                   " at the one at " + siteName(site);
        }
    }
    return std::nullopt;
}

// Resumes `thread` and notes where it stops; gives false when it stopped at a fault.
bool step(HostWorker& worker, unsigned thread) {
    const Event event = resume(worker, thread);
    worker.stops[thread] = event;
    return event != Event::Fault;
}

}  // namespace

std::optional<std::string> runBlock(HostWorker& worker) {
    worker.mode = Mode::Sequential;
    newInterval(worker);
    resetClocks(worker);
    const unsigned first = inOrder(worker, 0);
    startFiber(worker, first);
    const Event firstEvent = resume(worker, first);
    if (firstEvent == Event::Fault) {
        return abandon(worker, std::move(worker.fault));
    }
    if (worker.mode == Mode::Sequential) {
        if (firstEvent == Event::Returned) {
            return std::nullopt;
        }
        // A thread after the first reached a barrier that the threads before it had returned past.
        const std::string reached = std::to_string(worker.current);
        return abandon(worker, divergence(worker.threads, "thread " + reached + " reached it after " +
                                                              std::to_string(inOrder(worker, worker.current)) +
                                                              " returned without it"));
    }
    // The block turned into one fiber per thread where its running thread first waited: the first
    // thread at a barrier or a warp exchange, or a later one at a warp exchange, the threads before
    // it having returned. That thread goes on on the fiber it runs on.
    const unsigned converted = worker.current;
    const unsigned convertedPosition = inOrder(worker, converted);
    if (converted != first) {
        worker.contexts[converted] = worker.contexts[first];
        worker.stackOf[converted] = worker.stackOf[first];
    }
    for (unsigned position = 0; position < convertedPosition; ++position) {
        worker.stops[inOrder(worker, position)] = Event::Returned;
    }
    worker.stops[converted] = firstEvent;
    for (unsigned position = convertedPosition + 1; position < worker.threads; ++position) {
        const unsigned thread = inOrder(worker, position);
        startFiber(worker, thread);
        if (!step(worker, thread)) {
            return abandon(worker, std::move(worker.fault));
        }
    }
    for (;;) {
        unsigned waiting = 0;
        unsigned exchanging = 0;
        unsigned returned = 0;
        for (unsigned thread = 0; thread < worker.threads; ++thread) {
            const Event stop = worker.stops[thread];
            (stop == Event::Barrier ? waiting : stop == Event::Exchange ? exchanging : returned) += 1;
        }
        if (exchanging > 0) {
            if (auto fault = releaseExchanges(worker)) {
                return abandon(worker, std::move(*fault));
            }
            for (const unsigned thread : worker.released) {
                if (!step(worker, thread)) {
                    return abandon(worker, std::move(worker.fault));
                }
            }
            continue;
        }
        if (waiting == 0) {
            return std::nullopt;
        }
        if (returned > 0) {
            return abandon(worker, divergence(worker.threads, std::to_string(waiting) + " waiting at it, " +
                                                                  std::to_string(returned) + " returned without it"));
        }
        if (auto fault = divergentBarrier(worker)) {
            return abandon(worker, std::move(*fault));
        }
        newInterval(worker);
        for (unsigned position = 0; position < worker.threads; ++position) {
            const unsigned thread = inOrder(worker, position);
            if (!step(worker, thread)) {
                return abandon(worker, std::move(worker.fault));
            }
        }
    }
}

void prepareWorker(HostWorker& worker, const LaunchShape& shape) {
    worker.body = shape.body;
    worker.block = shape.block;
    worker.threads = shape.block.x * shape.block.y * shape.block.z;
    worker.stacks.reserve(worker.threads);
    worker.staticBytes = shape.staticBytes;
    worker.staticSpan = (shape.staticBytes + kSharedAlignment - 1) / kSharedAlignment * kSharedAlignment;
    // Guard zones before and after the shared memory, for checking mode.
    worker.sharedStorage.resize(kSharedGuardBytes + worker.staticSpan + shape.dynamicBytes + kSharedGuardBytes +
                                kSharedAlignment);
    const auto address = reinterpret_cast<std::uintptr_t>(worker.sharedStorage.data() + kSharedGuardBytes);
    worker.shared = worker.sharedStorage.data() + kSharedGuardBytes +
                    (kSharedAlignment - address % kSharedAlignment) % kSharedAlignment;
    worker.sweep = {worker.threads, false, &worker.current, worker.staticCursor.data(), &worker.mode};
    blockDim = shape.block;
    gridDim = shape.grid;
}

namespace {

struct GridJob {
    LaunchShape shape;
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

// Runs chunks of blocks until none is left, or, given a deadline, until a block ends past it; every
// participant of a launch calls it.
void runBlocks(GridJob& job, std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt) noexcept {
    HostWorker& worker = hostWorker();
    try {
        prepareWorker(worker, job.shape);
    } catch (const std::exception& error) {
        job.recordFault(0, std::string("cannot prepare a host thread for the launch: ") + error.what());
        return;
    }
    runningWorker = &worker;
    const std::uint64_t columns = job.shape.grid.x;
    const std::uint64_t plane = columns * job.shape.grid.y;
    for (;;) {
        const std::uint64_t first = job.next.fetch_add(job.chunk, std::memory_order_relaxed);
        if (first >= job.blocks) {
            break;
        }
        const std::uint64_t last = std::min(job.blocks, first + job.chunk);
        for (std::uint64_t index = first; index < last; ++index) {
            blockIdx = {static_cast<unsigned>(index % columns), static_cast<unsigned>(index % plane / columns),
                        static_cast<unsigned>(index / plane)};
            if (const std::size_t bytes = worker.staticSpan + job.shape.dynamicBytes; bytes > 0) {
                std::memset(worker.shared, 0xFF, bytes);
            }
            if (auto fault = runBlock(worker)) {
                job.recordFault(index, std::move(*fault));
            }
        }
        if (deadline && std::chrono::steady_clock::now() > *deadline) {
            break;
        }
    }
    runningWorker = nullptr;
}

}  // namespace

std::optional<std::string> executeGrid(const LaunchShape& shape) {
    GridJob job;
    job.shape = shape;
    job.blocks = std::uint64_t{shape.grid.x} * shape.grid.y * shape.grid.z;
    const dim3 block = shape.block;
    const std::uint64_t threads = job.blocks * block.x * block.y * block.z;
    unsigned participants = 1;
    if (threads >= kParallelThreshold) {
        participants = static_cast<unsigned>(std::min<std::uint64_t>(executionThreads(), job.blocks));
    }
    // Small chunks balance uneven blocks; blocks are independent, so the split never shows in results.
    job.chunk = std::max<std::uint64_t>(1, job.blocks / (std::uint64_t{participants} * 8));
    if (participants == 1 && job.blocks > 1 && executionThreads() > 1) {
        // Few threads, but blocks may still be long (a whole attention head each): the calling thread
        // runs them one at a time, and once they have taken longer than waking the helpers costs, the
        // helpers join in for the rest.
        job.chunk = 1;
        runBlocks(job, std::chrono::steady_clock::now() + kSpreadAfter);
        const std::uint64_t taken = job.next.load(std::memory_order_relaxed);
        if (taken < job.blocks) {
            participants = static_cast<unsigned>(std::min<std::uint64_t>(executionThreads(), job.blocks - taken));
            BlockPool::instance().run(participants, [&job] { runBlocks(job); });
        }
    } else if (participants == 1) {
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
    return runningWorker != nullptr ? runningWorker->shared + runningWorker->staticSpan : nullptr;
}

void* staticSharedArray(std::size_t bytes, std::size_t alignment) noexcept {
    HostWorker* worker = runningWorker;
    if (worker == nullptr) {
        std::fputs("a __shared__ array declared outside a kernel launch\n", stderr);
        std::abort();
    }
    std::uint32_t& cursor = worker->staticCursor[worker->current];
    const std::size_t offset = (cursor + alignment - 1) / alignment * alignment;
    if (offset + bytes > worker->staticBytes) {
        std::fputs("a kernel's __shared__ arrays exceed the bytes its VESTRA_STATIC_SHARED_BYTES declares\n", stderr);
        std::abort();
    }
    cursor = static_cast<std::uint32_t>(offset + bytes);
    return worker->shared + offset;
}

}  // namespace Halcyne::Core::Vestra::CpuDevice

void __syncthreads(const char* file, int line) {
    using namespace Halcyne::Core::Vestra::CpuDevice;
    HostWorker* worker = runningWorker;
    if (worker == nullptr) {
        std::fputs("__syncthreads called outside a kernel launch\n", stderr);
        std::abort();
    }
    worker->barrierSites[worker->current] = {file, line};
    if (worker->mode == Mode::Sequential) {
        if (worker->current != inOrder(*worker, 0)) {
            yieldToScheduler(*worker, Event::Diverged);  // never resumed
        }
        worker->mode = Mode::Fibers;
    }
    yieldToScheduler(*worker, Event::Barrier);
}
