// Warp exchanges on the CPU device: __syncwarp and the shuffles. A thread that reaches one leaves
// its value and waits; once every thread its mask names waits at the same operation with the same
// mask, the scheduler publishes the group's values and resumes its threads, each of which reads the
// value of the lane it selects. What a GPU leaves undefined fails the launch (a mask that names a
// thread that never arrives or not the caller, a width that is not a power of two), or, for a read
// of a lane the mask does not name, gives all-ones bits.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "cpu_device/host_worker.h"

namespace Halcyne::Core::Vestra::CpuDevice {
namespace {

const char* operationName(WarpOperation operation) {
    switch (operation) {
        case WarpOperation::Sync:
            return "__syncwarp";
        case WarpOperation::Shuffle:
            return "__shfl_sync";
        case WarpOperation::ShuffleUp:
            return "__shfl_up_sync";
        case WarpOperation::ShuffleDown:
            return "__shfl_down_sync";
        case WarpOperation::ShuffleXor:
            return "__shfl_xor_sync";
    }
    return "a warp exchange";
}

std::string maskText(unsigned mask) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", mask);
    return text;
}

// "__shfl_sync in block (x, y, z) of n threads: thread t " and what went wrong.
std::string exchangeFault(const HostWorker& worker, WarpOperation operation, unsigned thread, const std::string& what) {
    return std::string(operationName(operation)) + " in " + blockName() + " of " + std::to_string(worker.threads) +
           " threads: thread " + std::to_string(thread) + " " + what;
}

// Ends the calling thread's block with the fault in worker.fault; its fiber is never resumed, so the
// text is made in a statement of its own, whose temporaries are gone before the fiber stops.
[[noreturn]] void failExchange(HostWorker& worker) {
    yieldToScheduler(worker, Event::Fault);
    std::abort();
}

// The lane that `lane` reads, or `lane` itself where the operation selects a lane outside its
// segment of `width` lanes (a power of two): as the shuffle instruction selects, the operand taken
// modulo 32.
unsigned sourceLane(WarpOperation operation, unsigned lane, int operand, int width) {
    const unsigned segmentStart = lane & ~static_cast<unsigned>(width - 1);
    const unsigned segmentEnd = segmentStart + static_cast<unsigned>(width);
    const unsigned b = static_cast<unsigned>(operand) & (kWarpLanes - 1);
    switch (operation) {
        case WarpOperation::Shuffle:
            return segmentStart + (b & static_cast<unsigned>(width - 1));
        case WarpOperation::ShuffleUp:
            return lane >= segmentStart + b ? lane - b : lane;
        case WarpOperation::ShuffleDown:
            return lane + b < segmentEnd ? lane + b : lane;
        case WarpOperation::ShuffleXor:
            return (lane ^ b) < segmentEnd ? lane ^ b : lane;
        case WarpOperation::Sync:
            break;
    }
    return lane;
}

bool isShuffleWidth(int width) {
    return width >= 1 && width <= static_cast<int>(kWarpLanes) && (width & (width - 1)) == 0;
}

// Checking mode: the threads of one completed exchange are ordered after every write any of them
// made before it; each then starts a new epoch of its own.
void mergeClocks(HostWorker& worker, unsigned warpStart, unsigned mask) {
    std::uint32_t merged[kWarpLanes] = {};
    for (unsigned lane = 0; lane < kWarpLanes; ++lane) {
        if ((mask >> lane & 1u) == 0) {
            continue;
        }
        const std::uint32_t* clock = &worker.clocks[std::size_t{warpStart + lane} * kWarpLanes];
        for (unsigned other = 0; other < kWarpLanes; ++other) {
            merged[other] = clock[other] > merged[other] ? clock[other] : merged[other];
        }
    }
    for (unsigned lane = 0; lane < kWarpLanes; ++lane) {
        if ((mask >> lane & 1u) == 0) {
            continue;
        }
        std::uint32_t* clock = &worker.clocks[std::size_t{warpStart + lane} * kWarpLanes];
        for (unsigned other = 0; other < kWarpLanes; ++other) {
            clock[other] = merged[other];
        }
        clock[lane] += 1;
    }
}

}  // namespace

std::uint64_t warpExchange(WarpOperation operation, unsigned mask, std::uint64_t value, int operand, int width) {
    HostWorker* const running = runningWorker;
    if (running == nullptr) {
        std::fputs("a warp exchange called outside a kernel launch\n", stderr);
        std::abort();
    }
    HostWorker& worker = *running;
    const unsigned thread = worker.current;
    const unsigned lane = thread % kWarpLanes;
    const unsigned warpStart = thread - lane;
    if ((mask >> lane & 1u) == 0) {
        worker.fault = exchangeFault(
            worker, operation, thread,
            "passes mask " + maskText(mask) + ", which does not name its own lane " + std::to_string(lane));
        failExchange(worker);
    }
    if (operation != WarpOperation::Sync && !isShuffleWidth(width)) {
        worker.fault =
            exchangeFault(worker, operation, thread,
                          "passes width " + std::to_string(width) + ", which is not a power of two from 1 to 32");
        failExchange(worker);
    }
    worker.arrivals[thread] = {operation, mask, value};
    if (worker.mode == Mode::Sequential) {
        // The threads that ran before this one have returned: a mask naming one names a thread that
        // never arrives. Otherwise the block goes on as fibers from here.
        for (unsigned other = 0; other < kWarpLanes; ++other) {
            const unsigned named = warpStart + other;
            if ((mask >> other & 1u) != 0 && named < worker.threads &&
                inOrder(worker, named) < inOrder(worker, thread)) {
                worker.fault = exchangeFault(worker, operation, thread,
                                             "passes mask " + maskText(mask) + ", which names thread " +
                                                 std::to_string(named) + ", which returned without it");
                failExchange(worker);
            }
        }
        worker.mode = Mode::Fibers;
    }
    yieldToScheduler(worker, Event::Exchange);
    if (operation == WarpOperation::Sync) {
        return value;
    }
    const unsigned source = sourceLane(operation, lane, operand, width);
    if (source == lane) {
        return value;
    }
    // A lane the mask does not name brings nothing: its value is undefined on a GPU, here it reads
    // as unwritten memory does (NaN in a floating type), which a kernel that uses it cannot miss.
    if ((mask >> source & 1u) == 0) {
        return ~std::uint64_t{0};
    }
    return worker.published[warpStart + source];
}

std::optional<std::string> releaseExchanges(HostWorker& worker) {
    std::vector<unsigned>& released = worker.released;
    released.clear();
    std::optional<std::string> stuck;  // why the first thread that cannot go on waits
    // The threads of a warp run next to each other in either order, and those of one group find the
    // same answer: the last answer serves the warp's next thread of the same operation and mask.
    struct Answer {
        unsigned warpStart = ~0u;
        WarpOperation operation = WarpOperation::Sync;
        unsigned mask = 0;
        bool complete = false;
    } last;
    for (unsigned position = 0; position < worker.threads; ++position) {
        const unsigned thread = inOrder(worker, position);
        if (worker.stops[thread] != Event::Exchange) {
            continue;
        }
        const WarpArrival& arrival = worker.arrivals[thread];
        const unsigned warpStart = thread - thread % kWarpLanes;
        if (last.warpStart == warpStart && last.operation == arrival.operation && last.mask == arrival.mask) {
            if (last.complete) {
                released.push_back(thread);
            }
            continue;
        }
        bool complete = true;
        for (unsigned lane = 0; lane < kWarpLanes && complete; ++lane) {
            if ((arrival.mask >> lane & 1u) == 0) {
                continue;
            }
            const unsigned named = warpStart + lane;
            const auto names = [&](const std::string& what) {
                return exchangeFault(worker, arrival.operation, thread,
                                     "passes mask " + maskText(arrival.mask) + ", which names thread " +
                                         std::to_string(named) + ", " + what);
            };
            if (named >= worker.threads) {
                return names("which the block does not have");
            }
            const Event stop = worker.stops[named];
            if (stop == Event::Returned) {
                return names("which returned without it");
            }
            const WarpArrival& other = worker.arrivals[named];
            if (stop != Event::Exchange || other.operation != arrival.operation || other.mask != arrival.mask) {
                complete = false;
                if (!stuck) {
                    stuck = names(stop != Event::Exchange
                                      ? std::string("which waits at __syncthreads")
                                      : std::string("which waits at ") + operationName(other.operation) +
                                            " with mask " + maskText(other.mask));
                }
            }
        }
        if (complete) {
            released.push_back(thread);
        }
        last = {warpStart, arrival.operation, arrival.mask, complete};
    }
    if (released.empty()) {
        return stuck;
    }
    for (const unsigned thread : released) {
        worker.published[thread] = worker.arrivals[thread].value;
    }
    if (worker.watchThreads) {
        // Every thread of a group is released with it; the group's first thread in index order stands
        // for it.
        for (const unsigned thread : released) {
            const unsigned lane = thread % kWarpLanes;
            const unsigned mask = worker.arrivals[thread].mask;
            if ((mask & ((1u << lane) - 1u)) == 0) {
                mergeClocks(worker, thread - lane, mask);
            }
        }
    }
    return std::nullopt;
}

}  // namespace Halcyne::Core::Vestra::CpuDevice
