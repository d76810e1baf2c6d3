// Checking mode's execution of a grid: every block is run from the same memory with its threads in
// both orders, and once more with unwritten memory holding another pattern, and what it changed is
// compared byte by byte.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "cpu_device/host_worker.h"
#include "cpu_device/kernel_executor.h"

namespace Halcyne::Core::Vestra::CpuDevice {
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

// The first byte of the watched regions whose value after one run of a block differs from its value
// after another run from the same memory, with both values.
struct Difference {
    std::size_t region;
    std::size_t offset;
    std::string one;
    std::string other;
};

std::optional<Difference> firstDifference(const std::vector<Change>& one, const std::vector<Change>& other,
                                          const std::vector<std::vector<unsigned char>>& before) {
    const auto key = [](const std::vector<Change>& changes, std::size_t at) {
        return at < changes.size() ? std::pair{changes[at].region, changes[at].offset} : std::pair{SIZE_MAX, SIZE_MAX};
    };
    std::size_t a = 0;
    std::size_t b = 0;
    while (a < one.size() || b < other.size()) {
        if (key(one, a) == key(other, b) && one[a].value == other[b].value) {
            ++a;
            ++b;
            continue;
        }
        const std::pair<std::size_t, std::size_t> first = std::min(key(one, a), key(other, b));
        const std::size_t region = first.first;
        const std::size_t offset = first.second;
        const auto valueIn = [&](const std::vector<Change>& changes, std::size_t at) {
            return key(changes, at) == std::pair{region, offset} ? byteText(changes[at].value)
                                                                 : byteText(before[region][offset]) + " (unchanged)";
        };
        return Difference{region, offset, valueIn(one, a), valueIn(other, b)};
    }
    return std::nullopt;
}

void fillRanges(const std::vector<DeviceRange>& ranges, unsigned char fill) {
    for (const DeviceRange& range : ranges) {
        std::memset(range.begin, fill, range.bytes);
    }
}

}  // namespace

std::optional<std::string> executeCheckedGrid(const CheckedGrid& launch, std::vector<DeviceRange>& written) {
    const std::vector<WatchedRegion>& regions = launch.regions;
    const LaunchShape& shape = launch.shape;
    const std::uint64_t blocks = std::uint64_t{shape.grid.x} * shape.grid.y * shape.grid.z;
    HostWorker& worker = hostWorker();
    prepareWorker(worker, shape);
    const std::size_t sharedBytes = worker.staticSpan + shape.dynamicBytes;
    worker.checking = true;
    worker.sharedBytes = sharedBytes;
    worker.segmentStart.resize(sharedBytes);
    worker.writer.assign(sharedBytes, 0);
    worker.writeEpoch.assign(sharedBytes, 0);
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
    std::vector<Change> probed;
    const std::uint64_t columns = shape.grid.x;
    const std::uint64_t plane = columns * shape.grid.y;
    std::optional<std::string> fault;
    const auto where = [&](const Difference& difference) {
        return "byte " + std::to_string(difference.offset) + " of the allocation that argument " +
               std::to_string(regions[difference.region].argument) + " points into";
    };
    // Runs the block from the memory it started from, its threads in ascending or descending order,
    // with unwritten shared and input memory holding `fill`; gives what it changed in the watched
    // regions and then puts their bytes back.
    const auto run = [&](bool reverse, unsigned char fill, std::vector<Change>& changes) {
        worker.reverse = reverse;
        if (sharedBytes > 0) {
            std::memset(worker.shared, fill, sharedBytes);
            std::memset(worker.segmentStart.data(), fill, sharedBytes);
        }
        const bool probing = fill != kUnwrittenFill;  // unwritten inputs hold kUnwrittenFill between runs
        if (probing) {
            fillRanges(launch.unwrittenInputs, fill);
        }
        if (auto blockFault = runBlock(worker)) {
            fault = std::move(blockFault);
        } else if (!worker.hazard.empty()) {
            fault = worker.hazard;
        }
        if (probing) {
            fillRanges(launch.unwrittenInputs, kUnwrittenFill);
        }
        collectChanges(regions, before, changes);
        for (const Change& change : changes) {
            regions[change.region].begin[change.offset] = before[change.region][change.offset];
        }
        return !fault;
    };
    const bool probeUnwritten = sharedBytes > 0 || !launch.unwrittenInputs.empty();
    // Each block runs from the same memory with its threads in ascending and in descending order,
    // both schedules a GPU may pick: a block whose threads race through shared or global memory tends
    // to leave different bytes behind. A third run with unwritten memory holding another pattern
    // shows a result that depends on memory nothing wrote.
    for (std::uint64_t index = 0; index < blocks && !fault; ++index) {
        blockIdx = {static_cast<unsigned>(index % columns), static_cast<unsigned>(index % plane / columns),
                    static_cast<unsigned>(index / plane)};
        if (!run(false, kUnwrittenFill, ascending) || !run(true, kUnwrittenFill, descending)) {
            break;
        }
        if (const auto difference = firstDifference(ascending, descending, before)) {
            fault = "race in " + blockName() + " of " + std::to_string(worker.threads) +
                    " threads: its result depends on the order its threads run in; " + where(*difference) + " is " +
                    difference->one + " with threads in ascending order and " + difference->other +
                    " in descending order";
            break;
        }
        if (probeUnwritten) {
            if (!run(false, kProbeFill, probed)) {
                break;
            }
            if (const auto difference = firstDifference(ascending, probed, before)) {
                fault = "uninitialised read: the result of " + blockName() + " depends on " +
                        (launch.unwrittenInputs.empty() ? std::string("shared memory its threads have not written")
                         : sharedBytes == 0             ? std::string("device memory nothing has written")
                                                        : std::string("shared or device memory nothing has written")) +
                        "; " + where(*difference) + " is " + difference->one + " when unwritten bytes hold " +
                        byteText(kUnwrittenFill) + " and " + difference->other + " when they hold " +
                        byteText(kProbeFill);
                break;
            }
        }
        for (const Change& change : descending) {
            std::uint64_t& wrote = owner[change.region][change.offset];
            if (wrote != 0 && wrote != index + 1 &&
                !atomicBytes().contains(regions[change.region].begin + change.offset)) {
                const std::uint64_t other = wrote - 1;
                fault = "global-memory race: block (" + std::to_string(other % columns) + ", " +
                        std::to_string(other % plane / columns) + ", " + std::to_string(other / plane) + ") and " +
                        blockName() + " both write " + where({change.region, change.offset, {}, {}});
                break;
            }
            wrote = index + 1;
            before[change.region][change.offset] = change.value;
            regions[change.region].begin[change.offset] = change.value;
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

}  // namespace Halcyne::Core::Vestra::CpuDevice
