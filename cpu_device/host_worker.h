// The executor's own view of a host thread that runs blocks, shared by the plain and the checked
// execution of a grid. Nothing outside the CPU device includes it.
#pragma once

#include <boost/context/detail/fcontext.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cpu_device/fiber_stacks.h"
#include "cpu_device/kernel_executor.h"
#include "cpu_device/sanitizer.h"

namespace Halcyne::Core::Vestra::CpuDevice {

using boost::context::detail::fcontext_t;

// Why a fiber handed control back to the scheduler.
enum class Event : std::uint8_t { Returned, Barrier, Diverged };

// What one host thread needs to run blocks: fiber stacks, contexts, the dynamic shared memory and
// the block in flight.
struct HostWorker {
    FiberStacks stacks;
    std::vector<fcontext_t> contexts = std::vector<fcontext_t>(FiberStacks::kMaxStacks);
    std::vector<std::uint8_t> waiting = std::vector<std::uint8_t>(FiberStacks::kMaxStacks);
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

// The worker whose block is running on this host thread, null outside a launch.
inline constinit thread_local HostWorker* runningWorker = nullptr;

// This host thread's worker.
[[nodiscard]] HostWorker& hostWorker();

// Sizes the worker for the launch (stacks, shared memory) and sets the launch's index variables.
void prepareWorker(HostWorker& worker, const LaunchShape& shape);

// Runs the block whose blockIdx is set; gives the fault that ended it, if one did.
[[nodiscard]] std::optional<std::string> runBlock(HostWorker& worker);

// "block (x, y, z)" of the running block.
[[nodiscard]] std::string blockName();

}  // namespace Halcyne::Core::Vestra::CpuDevice
