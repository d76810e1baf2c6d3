// The executor's own view of a host thread that runs blocks, shared by the plain and the checked
// execution of a grid. Nothing outside the CPU device includes it.
#pragma once

#include <boost/context/detail/fcontext.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cpu_device/fiber_stacks.h"
#include "cpu_device/kernel_executor.h"
#include "cpu_device/sanitizer.h"

namespace Halcyne::Core::Vestra::CpuDevice {

using boost::context::detail::fcontext_t;

// Why a fiber handed control back to the scheduler: it returned, waits at __syncthreads or at a warp
// exchange, reached __syncthreads after threads before it had returned (Diverged), or found a fault
// that ends the block (`fault` says what).
enum class Event : std::uint8_t { Returned, Barrier, Exchange, Diverged, Fault };

// What a thread waiting at a warp exchange brought to it.
struct WarpArrival {
    WarpOperation operation;
    unsigned mask;
    std::uint64_t value;
};

// Bytes before and after a block's shared memory that checking mode keeps as guard zones: a thread
// that writes there fails the launch.
inline constexpr std::size_t kSharedGuardBytes = 256;

// Checking mode: global memory whose writes are attributed to threads, as shared memory's are, for
// the blocks looked at closely; `mirror` is where its bytes start in HostWorker::trackedStart.
struct TrackedRange {
    unsigned char* begin;
    std::size_t bytes;
    std::size_t mirror;
};

// Checking mode, while a fault is being located: one byte that holds `probed` while the threads
// [first, last) run and `reference` while the others do, until a thread writes it; or, when it does
// not toggle, that is only watched for the first thread that writes it.
struct ThreadProbe {
    unsigned char* byte = nullptr;
    unsigned char reference = 0;
    unsigned char probed = 0;
    unsigned first = 0;
    unsigned last = 0;
    bool toggles = true;
    unsigned writer = UINT32_MAX;
    unsigned char held = 0;  // what the byte held when the running thread was resumed
};

// What one host thread needs to run blocks: fiber stacks, contexts, the dynamic shared memory and
// the block in flight.
struct HostWorker {
    FiberStacks stacks;
    std::vector<fcontext_t> contexts = std::vector<fcontext_t>(FiberStacks::kMaxStacks);
    // The stack each thread's fiber runs on: its own, except for a thread that turned the block into
    // fibers at a warp exchange, which goes on on the stack of the thread that ran first.
    std::vector<unsigned> stackOf = std::vector<unsigned>(FiberStacks::kMaxStacks);
    std::vector<Event> stops = std::vector<Event>(FiberStacks::kMaxStacks);  // where each thread waits
    // Warp exchanges: what each waiting thread brought, and the values of the last exchange each
    // thread took part in, set for a whole group before any of its threads resumes.
    std::vector<WarpArrival> arrivals = std::vector<WarpArrival>(FiberStacks::kMaxStacks);
    std::vector<std::uint64_t> published = std::vector<std::uint64_t>(FiberStacks::kMaxStacks);
    std::vector<unsigned> released;  // the threads a round of exchanges resumes
    std::string fault;
    std::vector<unsigned char> sharedStorage;
    unsigned char* shared = nullptr;  // the block's static shared arrays, then its dynamic shared memory
    std::size_t staticSpan = 0;       // bytes before the dynamic part
    std::size_t staticBytes = 0;      // what the kernel declared for its static arrays
    std::vector<std::uint32_t> staticCursor = std::vector<std::uint32_t>(FiberStacks::kMaxStacks);
    KernelBody body{};
    // What the barrier-free pass reads, kept here rather than on a fiber's stack, which a block that
    // diverged at a barrier abandons.
    ThreadSweep sweep{};
    dim3 block;
    unsigned threads = 0;
    Mode mode = Mode::Sequential;
    Event event = Event::Returned;
    unsigned current = 0;
    fcontext_t scheduler = nullptr;
    // Checking mode: threads run in descending order when `reverse`. In the blocks it watches thread
    // by thread (`watchThreads`), every run segment of a thread is diffed against the shared memory
    // it started from, `writer` holding which thread (+1) wrote each byte since the last barrier and
    // `writeEpoch` the writer's own epoch then. A warp exchange orders its threads' earlier writes
    // before their later ones: `clocks` holds, per thread, the epoch of each lane of its warp up to
    // which it is ordered after that lane (its own lane: its epoch now), merged over the threads of
    // each exchange.
    bool watchThreads = false;
    bool reverse = false;
    std::size_t sharedBytes = 0;
    std::vector<unsigned char> segmentStart;
    std::vector<std::uint32_t> writer;
    std::vector<std::uint32_t> writeEpoch;
    std::vector<std::uint32_t> clocks;  // [threads, kWarpLanes]
    std::string hazard;
    bool hazardIsAddress = false;  // the hazard is an access out of bounds, not a race
    unsigned char guardFill = 0;   // what the shared guard zone holds
    std::vector<TrackedRange> tracked;
    std::vector<unsigned char> trackedStart;
    std::vector<std::uint32_t> trackedWriter;
    std::vector<std::uint32_t> trackedEpoch;
    std::function<std::string(const unsigned char*)> describeGlobal;  // "byte n of the allocation that ..."
    ThreadProbe probe;
    std::set<const unsigned char*> atomicBytes;  // updated by atomics: not a race between threads
    // Where each thread waits at __syncthreads: a block's threads must meet at one barrier.
    struct BarrierSite {
        const char* file = "";
        int line = 0;
    };
    std::vector<BarrierSite> barrierSites = std::vector<BarrierSite>(FiberStacks::kMaxStacks);
#if VESTRA_CPU_DEVICE_ASAN
    void* schedulerFakeStack = nullptr;
    const void* schedulerStackBottom = nullptr;
    std::size_t schedulerStackSize = 0;
#endif
};

// The worker whose block is running on this host thread, null outside a launch.
inline constinit thread_local HostWorker* runningWorker = nullptr;

// This host thread's worker.
[[nodiscard]] HostWorker& hostWorker();

// Sizes the worker for the launch (stacks, shared memory) and sets the launch's index variables.
void prepareWorker(HostWorker& worker, const LaunchShape& shape);

// Runs the block whose blockIdx is set; gives the fault that ended it, if one did.
[[nodiscard]] std::optional<std::string> runBlock(HostWorker& worker);

// Fiber side: hands control to the scheduler and returns when it resumes this fiber.
void yieldToScheduler(HostWorker& worker, Event event);

// Scheduler side of warp exchanges, between two rounds of resumes, when every thread waits or has
// returned and at least one waits at an exchange: gives in worker.released, in run order, the
// threads at an exchange whose whole group has arrived, with their values published (and, when
// checking, their clocks merged). A mask that names a thread that has returned or that the block does not have is a
// fault, and so is a round in which no group is complete: the threads at exchanges keep the others
// from their barrier, so nothing could go on.
[[nodiscard]] std::optional<std::string> releaseExchanges(HostWorker& worker);

// The thread at `position` in the order the block's threads run in (descending when `reverse`), and
// the position of a thread: the mapping is its own inverse.
[[nodiscard]] inline unsigned inOrder(const HostWorker& worker, unsigned position) {
    return worker.reverse ? worker.threads - 1 - position : position;
}

// The first offset from `from` on at which [a, a + bytes) and [b, b + bytes) differ, or `bytes`;
// 32 bytes at a time where they agree.
inline std::size_t nextChange(const unsigned char* a, const unsigned char* b, std::size_t from, std::size_t bytes) {
    std::size_t at = from;
    for (; at + 32 <= bytes; at += 32) {
        std::uint64_t x[4];
        std::uint64_t y[4];
        std::memcpy(x, a + at, sizeof x);
        std::memcpy(y, b + at, sizeof y);
        if (((x[0] ^ y[0]) | (x[1] ^ y[1]) | (x[2] ^ y[2]) | (x[3] ^ y[3])) != 0) {
            break;
        }
    }
    while (at < bytes && a[at] == b[at]) {
        ++at;
    }
    return at;
}

// "block (x, y, z)" of the running block, "thread (x, y, z)" of the thread of `block` whose linear
// index is `linear`, and "byte n of static|dynamic shared memory" (or past its end) of the worker's.
[[nodiscard]] std::string blockName();
[[nodiscard]] std::string threadName(const dim3& block, unsigned linear);
[[nodiscard]] std::string sharedByteName(const HostWorker& worker, std::ptrdiff_t offset);
// Checking mode: the first byte of the guard zones around the worker's shared memory that does not
// hold its fill, as an offset from the start of the shared memory.
[[nodiscard]] std::optional<std::ptrdiff_t> brokenSharedGuard(const HostWorker& worker);

}  // namespace Halcyne::Core::Vestra::CpuDevice
