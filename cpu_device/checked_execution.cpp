// Checking mode's execution of a grid: a probing run and a reference run from the same memory,
// compared byte by byte over the memory the launch reaches, which costs a few times an unchecked run
// and grows with the bytes the launch reaches, not with its blocks.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cpu_device/checked_run.h"

namespace Halcyne::Core::Vestra::CpuDevice {
namespace {

// The most byte comparisons a block whose global writes are attributed to its threads may cost
// (each thread's run segment is compared over what the block writes): beyond it only the first of
// those bytes are attributed.
constexpr std::size_t kAttributionBudget = std::size_t{1} << 26;

std::size_t spanBytes(const ReachableMemory& memory) {
    return memory.guardBefore + memory.bytes + memory.guardAfter;
}

unsigned char* spanBegin(const ReachableMemory& memory) {
    return memory.begin - memory.guardBefore;
}

// Calls `visit(offset, length, fill)` for the parts of a watched allocation's span, as offsets into
// it: the guard zones (fill `guard`), the unwritten or freed bytes (fill `empty`) and the rest
// (no fill, -1), in order.
template <class Visit>
void forEachPart(const WatchedMemory& watched, int guard, int empty, Visit visit) {
    const ReachableMemory& memory = watched.memory;
    visit(std::size_t{0}, memory.guardBefore, guard);
    if (memory.freed) {
        visit(memory.guardBefore, memory.bytes, empty);
    } else {
        std::size_t at = 0;
        for (const DeviceRange& range : watched.unwritten) {
            const auto offset = static_cast<std::size_t>(range.begin - memory.begin);
            if (offset > at) {
                visit(memory.guardBefore + at, offset - at, -1);
            }
            visit(memory.guardBefore + offset, range.bytes, empty);
            at = offset + range.bytes;
        }
        if (memory.bytes > at) {
            visit(memory.guardBefore + at, memory.bytes - at, -1);
        }
    }
    visit(memory.guardBefore + memory.bytes, memory.guardAfter, guard);
}

// What the unwritten (or freed) bytes of the watched allocation `which` hold in a run with `setup`.
// Probing fills differ from one allocation to the next, and from shared memory's, so that a copy of
// unwritten bytes into another allocation's unwritten bytes shows as a write of what nothing wrote.
unsigned char emptyFill(const WatchedMemory& watched, std::size_t which, const RunSetup& setup) {
    const unsigned char fill = watched.memory.freed ? setup.freed : setup.unwritten;
    return fill == kProbeFill ? static_cast<unsigned char>(kProbeFill - 1 - which % 16) : fill;
}

}  // namespace

CheckedRun::CheckedRun(const LaunchShape& shape, const std::vector<WatchedMemory>& watchedMemory)
    : watched(watchedMemory),
      worker(hostWorker()),
      shape_(shape),
      blocks_(std::uint64_t{shape.grid.x} * shape.grid.y * shape.grid.z),
      start_(capture()) {
    prepareWorker(worker, shape);
    const std::size_t sharedBytes = worker.staticSpan + shape.dynamicBytes;
    worker.watchThreads = true;
    worker.sharedBytes = sharedBytes;
    worker.segmentStart.resize(sharedBytes);
    worker.writer.assign(sharedBytes, 0);
    worker.writeEpoch.assign(sharedBytes, 0);
    worker.describeGlobal = [this](const unsigned char* byte) {
        const auto found = find(byte);
        return found ? describe(*found) : std::string("a byte outside the watched memory");
    };
    worker.atomicBytes.clear();
    noteAtomics.store(true, std::memory_order_relaxed);
    runningWorker = &worker;
}

CheckedRun::~CheckedRun() {
    runningWorker = nullptr;
    noteAtomics.store(false, std::memory_order_relaxed);
    worker.watchThreads = false;
    worker.reverse = false;
    worker.tracked.clear();
    worker.probe = {};
    worker.describeGlobal = nullptr;
}

CheckedRun::Image CheckedRun::capture() const {
    Image image;
    image.reserve(watched.size());
    for (const WatchedMemory& memory : watched) {
        const unsigned char* begin = spanBegin(memory.memory);
        image.emplace_back(begin, begin + spanBytes(memory.memory));
    }
    return image;
}

void CheckedRun::restore(const Image& image) const {
    for (std::size_t index = 0; index < watched.size(); ++index) {
        std::memcpy(spanBegin(watched[index].memory), image[index].data(), image[index].size());
    }
}

void CheckedRun::applyFills(const RunSetup& setup) const {
    for (std::size_t which = 0; which < watched.size(); ++which) {
        const WatchedMemory& memory = watched[which];
        unsigned char* span = spanBegin(memory.memory);
        forEachPart(memory, setup.guard, emptyFill(memory, which, setup),
                    [&](std::size_t offset, std::size_t bytes, int fill) {
                        if (fill >= 0) {
                            std::memset(span + offset, fill, bytes);
                        }
                    });
    }
}

std::optional<CheckedFault> CheckedRun::run(const RunSetup& setup, std::uint64_t count,
                                            const std::function<void(std::uint64_t)>& watch) {
    if (!atStart_) {
        restore(start_);
    }
    atStart_ = false;
    applyFills(setup);
    for (std::uint64_t position = 0; position < std::min(count, blocks_); ++position) {
        const std::uint64_t index = indexAt(position, setup);
        if (auto fault = runBlock(index, setup)) {
            if (fault->unwatchedBlock) {
                // Run again, watching that block thread by thread, to name the thread.
                attributed.push_back(*fault->unwatchedBlock);
                auto named = run(setup, count, watch);
                attributed.pop_back();
                return named ? named : fault;
            }
            return fault;
        }
        if (watch) {
            watch(index);
        }
    }
    return std::nullopt;
}

std::optional<CheckedFault> CheckedRun::runBlock(std::uint64_t index, const RunSetup& setup) {
    atStart_ = false;
    if (std::find(attributed.begin(), attributed.end(), index) != attributed.end()) {
        return runAttributed(index, setup);
    }
    return runOnce(index, setup);
}

std::optional<CheckedFault> CheckedRun::runOnce(std::uint64_t index, const RunSetup& setup) {
    const std::uint64_t columns = shape_.grid.x;
    const std::uint64_t plane = columns * shape_.grid.y;
    blockIdx = {static_cast<unsigned>(index % columns), static_cast<unsigned>(index % plane / columns),
                static_cast<unsigned>(index / plane)};
    // Only the blocks looked at closely, and those a fault is being located in, are watched thread
    // by thread; the others run as fast as unchecked blocks.
    const bool watch =
        worker.probe.byte != nullptr || std::find(attributed.begin(), attributed.end(), index) != attributed.end();
    worker.watchThreads = watch;
    worker.reverse = setup.reverseThreads;
    worker.guardFill = setup.sharedGuard;
    std::memset(worker.shared - kSharedGuardBytes, setup.sharedGuard, kSharedGuardBytes);
    std::memset(worker.shared, setup.shared, worker.sharedBytes);
    std::memset(worker.shared + worker.sharedBytes, setup.sharedGuard, kSharedGuardBytes);
    if (afterSharedFill) {
        afterSharedFill();
    }
    if (watch && worker.sharedBytes > 0) {
        std::memcpy(worker.segmentStart.data(), worker.shared, worker.sharedBytes);
    }
    worker.hazard.clear();
    if (auto fault = CpuDevice::runBlock(worker)) {
        return CheckedFault{std::move(*fault), false};
    }
    if (!worker.hazard.empty()) {
        return CheckedFault{worker.hazard, worker.hazardIsAddress};
    }
    if (const auto broken = watch ? std::nullopt : brokenSharedGuard(worker)) {
        return CheckedFault{"out-of-bounds write: " + blockText(index) + " writes " + sharedByteName(worker, *broken),
                            true, index};
    }
    return std::nullopt;
}

// Runs the block once to learn which global bytes it writes, puts them back, and runs it again with
// every thread's writes to them recorded.
std::optional<CheckedFault> CheckedRun::runAttributed(std::uint64_t index, const RunSetup& setup) {
    const Image before = capture();
    if (auto fault = runOnce(index, setup)) {
        return fault;
    }
    worker.tracked.clear();
    std::size_t budget = kAttributionBudget / std::max(1u, worker.threads);
    std::size_t mirrored = 0;
    for (std::size_t which = 0; which < watched.size(); ++which) {
        unsigned char* span = spanBegin(watched[which].memory);
        const std::vector<unsigned char>& was = before[which];
        for (std::size_t offset = nextChange(span, was.data(), 0, was.size()); offset < was.size();
             offset = nextChange(span, was.data(), offset, was.size())) {
            std::size_t end = offset;
            while (end < was.size() && span[end] != was[end]) {
                ++end;
            }
            const std::size_t tracked = std::min(budget, end - offset);
            if (tracked > 0) {
                worker.tracked.push_back({span + offset, tracked, mirrored});
                mirrored += tracked;
                budget -= tracked;
            }
            std::memcpy(span + offset, was.data() + offset, end - offset);  // as the block found it
            offset = end;
        }
    }
    worker.trackedStart.resize(mirrored);
    for (const TrackedRange& range : worker.tracked) {
        std::memcpy(worker.trackedStart.data() + range.mirror, range.begin, range.bytes);
    }
    worker.trackedWriter.assign(mirrored, 0);
    worker.trackedEpoch.assign(mirrored, 0);
    auto fault = runOnce(index, setup);
    worker.tracked.clear();
    return fault;
}

std::optional<RunDifference> CheckedRun::firstDifference(const RunSetup& now, const Image& image,
                                                         const RunSetup& then) const {
    for (std::size_t which = 0; which < watched.size(); ++which) {
        const WatchedMemory& memory = watched[which];
        const unsigned char* span = spanBegin(memory.memory);
        const unsigned char* other = image[which].data();
        std::optional<RunDifference> found;
        const auto differ = [&](std::size_t offset) {
            found = RunDifference{{which, offset}, span[offset], other[offset]};
        };
        forEachPart(memory, 0, 1, [&](std::size_t offset, std::size_t bytes, int part) {
            if (found) {
                return;
            }
            if (part < 0) {
                if (std::memcmp(span + offset, other + offset, bytes) != 0) {
                    differ(static_cast<std::size_t>(
                        std::mismatch(span + offset, span + offset + bytes, other + offset).first - span));
                }
                return;
            }
            // A guard zone or freed memory must hold each run's fill; an unwritten byte either holds
            // each run's fill or was written alike by both.
            const bool guard = part == 0;
            const unsigned char fillNow = guard ? now.guard : emptyFill(memory, which, now);
            const unsigned char fillThen = guard ? then.guard : emptyFill(memory, which, then);
            const bool strict = guard || memory.memory.freed;
            for (std::size_t at = offset; at < offset + bytes; ++at) {
                const bool untouched = span[at] == fillNow && other[at] == fillThen;
                if (!untouched && (strict || span[at] != other[at])) {
                    differ(at);
                    return;
                }
            }
        });
        if (found) {
            return found;
        }
    }
    return std::nullopt;
}

std::vector<DeviceRange> CheckedRun::newlyWritten(const Image& probing) const {
    std::vector<DeviceRange> written;
    for (std::size_t which = 0; which < watched.size(); ++which) {
        const WatchedMemory& memory = watched[which];
        if (memory.memory.freed) {
            continue;
        }
        unsigned char* span = spanBegin(memory.memory);
        const unsigned char* other = probing[which].data();
        const unsigned char probed = emptyFill(memory, which, kProbingRun);
        const auto untouched = [&](std::size_t at) { return span[at] == kUnwrittenFill && other[at] == probed; };
        forEachPart(memory, -1, 1, [&](std::size_t offset, std::size_t bytes, int part) {
            if (part != 1) {
                return;
            }
            for (std::size_t at = offset; at < offset + bytes;) {
                if (untouched(at)) {
                    ++at;
                    continue;
                }
                const std::size_t first = at;
                while (at < offset + bytes && !untouched(at)) {
                    ++at;
                }
                written.push_back({span + first, at - first});
            }
        });
    }
    return written;
}

unsigned char* CheckedRun::address(SpanByte byte) const {
    return spanBegin(watched[byte.watched].memory) + byte.offset;
}

bool CheckedRun::isGuard(SpanByte byte) const {
    const ReachableMemory& memory = watched[byte.watched].memory;
    return byte.offset < memory.guardBefore || byte.offset >= memory.guardBefore + memory.bytes;
}

std::string CheckedRun::describe(SpanByte byte) const {
    const WatchedMemory& memory = watched[byte.watched];
    const std::size_t guardBefore = memory.memory.guardBefore;
    const std::size_t bytes = memory.memory.bytes;
    if (byte.offset < guardBefore) {
        return "byte " + std::to_string(guardBefore - byte.offset) + " before the start of the allocation of " +
               std::to_string(bytes) + " bytes that " + memory.name.substr(std::string("the allocation that ").size());
    }
    if (byte.offset >= guardBefore + bytes) {
        return "byte " + std::to_string(byte.offset - guardBefore - bytes) + " past the end of the allocation of " +
               std::to_string(bytes) + " bytes that " + memory.name.substr(std::string("the allocation that ").size());
    }
    return "byte " + std::to_string(byte.offset - guardBefore) + " of " + memory.name;
}

std::optional<SpanByte> CheckedRun::find(const unsigned char* address) const {
    for (std::size_t which = 0; which < watched.size(); ++which) {
        const unsigned char* begin = spanBegin(watched[which].memory);
        if (address >= begin && address < begin + spanBytes(watched[which].memory)) {
            return SpanByte{which, static_cast<std::size_t>(address - begin)};
        }
    }
    return std::nullopt;
}

std::string CheckedRun::blockText(std::uint64_t index) const {
    const std::uint64_t columns = shape_.grid.x;
    const std::uint64_t plane = columns * shape_.grid.y;
    return "block (" + std::to_string(index % columns) + ", " + std::to_string(index % plane / columns) + ", " +
           std::to_string(index / plane) + ")";
}

std::optional<CheckedFault> executeCheckedGrid(const LaunchShape& shape, const std::vector<WatchedMemory>& watched) {
    CheckedRun run(shape, watched);
    // Each run looks closely at the first block it runs, which starts from the launch's memory.
    run.attributed = {run.indexAt(0, kProbingRun)};
    if (auto fault = run.run(kProbingRun)) {
        // Named as the reference run, in ascending order, meets it, where it does.
        run.attributed = {run.indexAt(0, kReferenceRun)};
        auto again = run.run(kReferenceRun);
        if (!again) {
            run.restore(run.start());  // the probing fills go, guard zones included
        }
        return again ? again : fault;
    }
    const CheckedRun::Image probing = run.capture();
    run.attributed = {run.indexAt(0, kReferenceRun), run.blocks() / 2};
    if (auto fault = run.run(kReferenceRun)) {
        return fault;
    }
    run.attributed.clear();
    if (const auto found = run.firstDifference(kReferenceRun, probing, kProbingRun)) {
        return locateFault(run, *found);
    }
    for (const DeviceRange& range : run.newlyWritten(probing)) {
        markWritten(range.begin, range.bytes);
    }
    return std::nullopt;
}

void noteAtomic(const void* address, std::size_t bytes) noexcept {
    if (HostWorker* worker = runningWorker; worker != nullptr) {
        const auto* first = static_cast<const unsigned char*>(address);
        for (std::size_t byte = 0; byte < bytes; ++byte) {
            worker->atomicBytes.insert(first + byte);
        }
    }
}

}  // namespace Halcyne::Core::Vestra::CpuDevice
