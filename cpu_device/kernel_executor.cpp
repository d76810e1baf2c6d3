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
#include <set>
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
    // Checking mode: threads run in descending order when `reverse`; every run segment of a thread
    // is diffed against the shared memory it started from, `writer` holding which thread (+1) wrote
    // each byte since the last barrier.
    bool checking = false;
    bool reverse = false;
    std::size_t sharedBytes = 0;
    std::vector<unsigned char> segmentStart;
    std::vector<std::uint32_t> writer;
    std::string hazard;
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

unsigned inOrder(const HostWorker& worker, unsigned position) {
    return worker.reverse ? worker.threads - 1 - position : position;
}

std::string threadName(const dim3& block, unsigned linear) {
    const unsigned rest = linear / block.x;
    return "thread (" + std::to_string(linear % block.x) + ", " + std::to_string(rest % block.y) + ", " +
           std::to_string(rest / block.y) + ")";
}

std::string blockName() {
    return "block (" + std::to_string(blockIdx.x) + ", " + std::to_string(blockIdx.y) + ", " +
           std::to_string(blockIdx.z) + ")";
}

inline void beginSegment(HostWorker& worker) {
    if (worker.checking && worker.sharedBytes > 0) {
        std::memcpy(worker.segmentStart.data(), worker.shared, worker.sharedBytes);
    }
}

// Two threads writing one shared byte between barriers is a race whatever the order they run in.
void endSegment(HostWorker& worker, unsigned thread) {
    if (!worker.checking || worker.sharedBytes == 0) {
        return;
    }
    for (std::size_t offset = 0; offset < worker.sharedBytes; ++offset) {
        if (worker.shared[offset] == worker.segmentStart[offset]) {
            continue;
        }
        const std::uint32_t previous = worker.writer[offset];
        if (previous != 0 && previous != thread + 1 && worker.hazard.empty()) {
            worker.hazard = "shared-memory race in " + blockName() + ": " + threadName(worker.block, previous - 1) +
                            " and " + threadName(worker.block, thread) + " both write byte " + std::to_string(offset) +
                            " of dynamic shared memory between two barriers";
        }
        worker.writer[offset] = thread + 1;
    }
}

void newInterval(HostWorker& worker) {
    if (worker.checking) {
        std::fill(worker.writer.begin(), worker.writer.end(), 0);
    }
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
    if (worker.mode == Mode::Sequential && !worker.checking) {
        for (unsigned thread = 0; thread < worker.threads && worker.mode == Mode::Sequential; ++thread) {
            worker.current = thread;
            setThreadIndex(worker.block, thread);
            worker.body.invoke(worker.body.closure);
        }
    } else if (worker.mode == Mode::Sequential) {
        for (unsigned position = 0; position < worker.threads && worker.mode == Mode::Sequential; ++position) {
            const unsigned thread = inOrder(worker, position);
            worker.current = thread;
            setThreadIndex(worker.block, thread);
            beginSegment(worker);
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
    worker.contexts[thread] = make_fcontext(worker.stacks.top(thread), FiberStacks::size(), fiberEntry);
}

Event resume(HostWorker& worker, unsigned thread) {
    worker.current = thread;
    setThreadIndex(worker.block, thread);
    if (worker.checking) [[unlikely]] {
        beginSegment(worker);
    }
#if VESTRA_CPU_DEVICE_ASAN
    __sanitizer_start_switch_fiber(&worker.schedulerFakeStack, worker.stacks.bottom(thread), FiberStacks::size());
#endif
    const transfer_t back = jump_fcontext(worker.contexts[thread], &worker);
#if VESTRA_CPU_DEVICE_ASAN
    __sanitizer_finish_switch_fiber(worker.schedulerFakeStack, nullptr, nullptr);
#endif
    worker.contexts[thread] = back.fctx;
    if (worker.checking) [[unlikely]] {
        endSegment(worker, worker.current);
    }
    return worker.event;
}

std::string divergence(unsigned threads, const std::string& what) {
    return "__syncthreads in block (" + std::to_string(blockIdx.x) + ", " + std::to_string(blockIdx.y) + ", " +
           std::to_string(blockIdx.z) + ") of " + std::to_string(threads) + " threads: " + what;
}

std::optional<std::string> runBlock(HostWorker& worker) {
    worker.mode = Mode::Sequential;
    newInterval(worker);
    const unsigned first = inOrder(worker, 0);
    startFiber(worker, first);
    const Event firstEvent = resume(worker, first);
    if (worker.mode == Mode::Sequential) {
        if (firstEvent == Event::Returned) {
            return std::nullopt;
        }
        // A thread after the first reached a barrier that the threads before it had returned past.
        worker.stacks.discardFrames(worker.threads);
        const std::string reached = std::to_string(worker.current);
        return divergence(worker.threads,
                          "thread " + reached + " reached it after " +
                              std::to_string(worker.reverse ? worker.threads - 1 - worker.current : worker.current) +
                              " returned without it");
    }
    // The first thread waits at the block's first barrier; every other thread starts and runs up to it.
    unsigned waiting = 1;
    unsigned returned = 0;
    worker.waiting[first] = 1;
    for (unsigned position = 1; position < worker.threads; ++position) {
        const unsigned thread = inOrder(worker, position);
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
        newInterval(worker);
        waiting = 0;
        for (unsigned position = 0; position < worker.threads; ++position) {
            const unsigned thread = inOrder(worker, position);
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

namespace {

// Bytes that atomics updated during a checked launch: blocks may all update them.
std::set<const unsigned char*>& atomicBytes() {
    static std::set<const unsigned char*> bytes;
    return bytes;
}

std::string byteText(unsigned char value) {
    constexpr const char* kDigits = "0123456789abcdef";
    return std::string("0x") + kDigits[value >> 4] + kDigits[value & 15];
}

// The bytes of the watched regions that differ from `before`, with the values they have now.
struct Change {
    std::size_t region;
    std::size_t offset;
    unsigned char value;
};

void collectChanges(const std::vector<WatchedRegion>& regions, const std::vector<std::vector<unsigned char>>& before,
                    std::vector<Change>& changes) {
    changes.clear();
    constexpr std::size_t kStride = 4096;
    for (std::size_t region = 0; region < regions.size(); ++region) {
        const unsigned char* now = regions[region].begin;
        const unsigned char* was = before[region].data();
        const std::size_t bytes = regions[region].bytes;
        for (std::size_t chunk = 0; chunk < bytes; chunk += kStride) {
            const std::size_t length = std::min(kStride, bytes - chunk);
            if (std::memcmp(now + chunk, was + chunk, length) == 0) {
                continue;
            }
            for (std::size_t offset = chunk; offset < chunk + length; ++offset) {
                if (now[offset] != was[offset]) {
                    changes.push_back({region, offset, now[offset]});
                }
            }
        }
    }
}

}  // namespace

std::optional<std::string> executeCheckedGrid(dim3 grid, dim3 block, std::size_t sharedBytes, KernelBody body,
                                              const std::vector<WatchedRegion>& regions,
                                              std::vector<DeviceWrite>& written) {
    GridJob job;
    job.grid = grid;
    job.block = block;
    job.sharedBytes = sharedBytes;
    job.body = body;
    job.blocks = std::uint64_t{grid.x} * grid.y * grid.z;
    HostWorker& worker = hostWorker();
    prepareWorker(worker, job);
    worker.checking = true;
    worker.sharedBytes = sharedBytes;
    worker.segmentStart.resize(sharedBytes);
    worker.writer.assign(sharedBytes, 0);
    worker.hazard.clear();
    atomicBytes().clear();
    noteAtomics.store(true, std::memory_order_relaxed);
    runningWorker = &worker;

    std::vector<std::vector<unsigned char>> before;
    std::vector<std::vector<std::uint64_t>> owner;  // block + 1 that wrote each byte, 0 for none
    for (const WatchedRegion& region : regions) {
        before.emplace_back(region.begin, region.begin + region.bytes);
        owner.emplace_back(region.bytes, 0);
    }
    std::vector<Change> ascending;
    std::vector<Change> descending;
    const std::uint64_t columns = grid.x;
    const std::uint64_t plane = columns * grid.y;
    std::optional<std::string> fault;
    const auto where = [&](const Change& change) {
        return "byte " + std::to_string(change.offset) + " of the allocation that argument " +
               std::to_string(regions[change.region].argument) + " points into";
    };
    // Each block runs twice from the same memory, threads in ascending and then in descending order,
    // both schedules a GPU may pick: a block whose threads race through shared or global memory
    // tends to leave different bytes behind.
    for (std::uint64_t index = 0; index < job.blocks && !fault; ++index) {
        blockIdx = {static_cast<unsigned>(index % columns), static_cast<unsigned>(index % plane / columns),
                    static_cast<unsigned>(index / plane)};
        for (const bool reverse : {false, true}) {
            worker.reverse = reverse;
            if (sharedBytes > 0) {
                std::memset(worker.shared, 0xFF, sharedBytes);
            }
            if (auto blockFault = runBlock(worker)) {
                fault = std::move(blockFault);
                break;
            }
            if (!worker.hazard.empty()) {
                fault = worker.hazard;
                break;
            }
            collectChanges(regions, before, reverse ? descending : ascending);
            if (!reverse) {
                for (const Change& change : ascending) {
                    regions[change.region].begin[change.offset] = before[change.region][change.offset];
                }
            }
        }
        if (fault) {
            break;
        }
        std::size_t a = 0;
        std::size_t d = 0;
        while (a < ascending.size() || d < descending.size()) {
            const Change* up = a < ascending.size() ? &ascending[a] : nullptr;
            const Change* down = d < descending.size() ? &descending[d] : nullptr;
            const auto key = [](const Change* change) {
                return change == nullptr ? std::pair{SIZE_MAX, SIZE_MAX} : std::pair{change->region, change->offset};
            };
            if (key(up) == key(down) && up->value == down->value) {
                ++a;
                ++d;
                continue;
            }
            const Change& first = key(up) <= key(down) ? *up : *down;
            const auto valueIn = [&](const std::vector<Change>& changes, std::size_t at, const Change& target) {
                if (at < changes.size() && changes[at].region == target.region && changes[at].offset == target.offset) {
                    return byteText(changes[at].value);
                }
                return byteText(before[target.region][target.offset]) + " (unchanged)";
            };
            fault = "race in " + blockName() + " of " + std::to_string(worker.threads) +
                    " threads: its result depends on the order its threads run in; " + where(first) + " is " +
                    valueIn(ascending, a, first) + " with threads in ascending order and " +
                    valueIn(descending, d, first) + " in descending order";
            break;
        }
        if (fault) {
            break;
        }
        for (const Change& change : descending) {
            std::uint64_t& wrote = owner[change.region][change.offset];
            if (wrote != 0 && wrote != index + 1 &&
                !atomicBytes().contains(regions[change.region].begin + change.offset)) {
                const std::uint64_t other = wrote - 1;
                fault = "global-memory race: block (" + std::to_string(other % columns) + ", " +
                        std::to_string(other % plane / columns) + ", " + std::to_string(other / plane) + ") and " +
                        blockName() + " both write " + where(change);
                break;
            }
            wrote = index + 1;
            before[change.region][change.offset] = change.value;
        }
    }
    runningWorker = nullptr;
    noteAtomics.store(false, std::memory_order_relaxed);
    worker.checking = false;
    worker.reverse = false;
    if (fault) {
        return fault;
    }
    written.clear();
    for (std::size_t region = 0; region < regions.size(); ++region) {
        const std::vector<std::uint64_t>& wrote = owner[region];
        for (std::size_t offset = 0; offset < wrote.size();) {
            if (wrote[offset] == 0) {
                ++offset;
                continue;
            }
            // A written element may keep some of its bytes (0xFF within a mantissa), so the whole
            // element counts as written.
            const std::size_t element = regions[region].elementBytes;
            const std::size_t start = offset / element * element;
            while (offset < wrote.size() && wrote[offset] != 0) {
                ++offset;
            }
            offset = std::min(wrote.size(), (offset + element - 1) / element * element);
            written.push_back({regions[region].begin + start, offset - start});
        }
    }
    return std::nullopt;
}

void noteAtomic(const void* address, std::size_t bytes) noexcept {
    const auto* first = static_cast<const unsigned char*>(address);
    for (std::size_t byte = 0; byte < bytes; ++byte) {
        atomicBytes().insert(first + byte);
    }
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
        if (worker->current != inOrder(*worker, 0)) {
            yieldToScheduler(*worker, Event::Diverged);  // never resumed
        }
        worker->mode = Mode::Fibers;
    }
    yieldToScheduler(*worker, Event::Barrier);
}
