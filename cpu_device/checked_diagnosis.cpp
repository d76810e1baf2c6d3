// Naming what checking mode found: a difference between the reference and the probing run is
// traced to its cause by runs that change one thing at a time (the order of threads, the order of
// blocks, or one of the fills), then to the block that computed the differing byte, the byte it
// read (by halving the bytes a fill covers) and the thread that read it (by halving the threads
// that see the probed value). Only a launch that failed pays for these runs.
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cpu_device/checked_run.h"

namespace Halcyne::Core::Vestra::CpuDevice {
namespace {

enum class Cause : std::uint8_t { ThreadOrder, BlockOrder, Unwritten, Shared, Guard, Freed, SharedGuard };

struct Variant {
    Cause cause;
    RunSetup setup;
};

// Each differs from the reference run in one thing.
constexpr Variant kVariants[] = {
    {Cause::ThreadOrder, {false, true}},
    {Cause::BlockOrder, {true, false}},
    {Cause::Unwritten, {false, false, kProbeFill}},
    {Cause::Shared, {false, false, kUnwrittenFill, kProbeFill}},
    {Cause::Guard, {false, false, kUnwrittenFill, kUnwrittenFill, kGuardProbeFill}},
    {Cause::Freed, {false, false, kUnwrittenFill, kUnwrittenFill, kGuardFill, kProbeFill}},
    {Cause::SharedGuard, {false, false, kUnwrittenFill, kUnwrittenFill, kGuardFill, kUnwrittenFill, kGuardProbeFill}},
};

std::string byteText(unsigned char value) {
    constexpr const char* kDigits = "0123456789abcdef";
    return std::string("0x") + kDigits[value >> 4] + kDigits[value & 15];
}

// Candidate bytes for what a block read, as ranges; a byte is named by its index in their
// concatenation.
struct Candidates {
    std::vector<DeviceRange> ranges;

    [[nodiscard]] std::size_t total() const {
        std::size_t bytes = 0;
        for (const DeviceRange& range : ranges) {
            bytes += range.bytes;
        }
        return bytes;
    }
    void fill(std::size_t first, std::size_t last, unsigned char value) const {
        std::size_t at = 0;
        for (const DeviceRange& range : ranges) {
            const std::size_t begin = std::max(first, at);
            const std::size_t end = std::min(last, at + range.bytes);
            if (begin < end) {
                std::memset(range.begin + (begin - at), value, end - begin);
            }
            at += range.bytes;
        }
    }
    [[nodiscard]] unsigned char* at(std::size_t index) const {
        for (const DeviceRange& range : ranges) {
            if (index < range.bytes) {
                return range.begin + index;
            }
            index -= range.bytes;
        }
        return nullptr;
    }
};

// One index in [0, total) for which `changes(index, index + 1)` holds, found by halving, when
// `changes(0, total)` holds; none where only several together make the change.
std::optional<std::size_t> bisect(std::size_t total, const std::function<bool(std::size_t, std::size_t)>& changes) {
    if (total == 0 || !changes(0, total)) {
        return std::nullopt;
    }
    std::size_t first = 0;
    std::size_t last = total;
    while (last - first > 1) {
        const std::size_t middle = first + (last - first) / 2;
        if (changes(first, middle)) {
            last = middle;
        } else if (changes(middle, last)) {
            first = middle;
        } else {
            return std::nullopt;
        }
    }
    return first;
}

class Locator {
  public:
    Locator(CheckedRun& run, const RunDifference& found) : run_(run), found_(found), reference_(run.capture()) {}

    CheckedFault locate() {
        CheckedFault fault = name();
        run_.afterSharedFill = nullptr;
        run_.worker.probe = {};
        run_.attributed.clear();
        run_.restore(reference_);
        return fault;
    }

  private:
    CheckedFault name() {
        const SpanByte byte = found_.byte;
        const WatchedMemory& memory = run_.watched[byte.watched];
        // A guard zone or freed memory the reference run changed was written there.
        const unsigned char fill = run_.isGuard(byte) ? kGuardFill : kUnwrittenFill;
        if ((run_.isGuard(byte) || memory.memory.freed) && found_.one != fill) {
            return writeFault(byte, run_.isGuard(byte) ? "out-of-bounds write: " : "use after free: ",
                              memory.memory.freed ? ", freed by cudaFreeAsync" : "");
        }
        for (const Variant& variant : kVariants) {
            if (auto fault = run_.run(variant.setup)) {
                return *fault;
            }
            if (const auto difference = run_.firstDifference(variant.setup, reference_, kReferenceRun)) {
                return named(variant, *difference);
            }
        }
        return {
            "the result of the launch depends on the order its blocks and threads run in, or on memory nothing "
            "wrote: " +
                run_.describe(byte) + " is " + byteText(found_.one) + " in one run and " + byteText(found_.other) +
                " in another",
            false};
    }

    // The blocks of a run with `setup` that changed `byte`, in the order they ran.
    std::vector<std::uint64_t> writers(const RunSetup& setup, const unsigned char* byte) {
        (void)run_.run(setup, 0);
        unsigned char previous = *byte;
        std::vector<std::uint64_t> blocks;
        (void)run_.run(setup, UINT64_MAX, [&](std::uint64_t index) {
            if (*byte != previous) {
                blocks.push_back(index);
                previous = *byte;
            }
        });
        return blocks;
    }

    std::optional<std::uint64_t> lastWriter(const RunSetup& setup, const unsigned char* byte) {
        const std::vector<std::uint64_t> blocks = writers(setup, byte);
        return blocks.empty() ? std::nullopt : std::optional(blocks.back());
    }

    // The memory as the reference run leaves it just before `block` runs.
    CheckedRun::Image before(std::uint64_t block) {
        (void)run_.run(kReferenceRun, block);
        return run_.capture();
    }

    // The value `block` leaves at `byte`, run from `state` after `prepare`.
    unsigned char outcome(const CheckedRun::Image& state, std::uint64_t block, const unsigned char* byte,
                          const std::function<void()>& prepare = {}) {
        run_.restore(state);
        if (prepare) {
            prepare();
        }
        (void)run_.runBlock(block, kReferenceRun);
        return *byte;
    }

    CheckedFault writeFault(SpanByte byte, const std::string& kind, const std::string& tail) {
        unsigned char* address = run_.address(byte);
        const auto block = lastWriter(kReferenceRun, address);
        if (!block) {
            return {kind + "the launch writes " + run_.describe(byte) + tail, true};
        }
        const CheckedRun::Image state = before(*block);
        ThreadProbe& probe = run_.worker.probe;
        run_.restore(state);
        probe = {};
        probe.byte = address;
        probe.toggles = false;
        (void)run_.runBlock(*block, kReferenceRun);
        const unsigned writer = probe.writer;
        probe = {};
        const std::string who = writer != UINT32_MAX ? threadName(run_.worker.block, writer) + " of " : std::string();
        return {kind + who + run_.blockText(*block) + " writes " + run_.describe(byte) + tail, true};
    }

    CheckedFault named(const Variant& variant, const RunDifference& difference) {
        unsigned char* output = run_.address(difference.byte);
        auto block = lastWriter(kReferenceRun, output);
        if (!block) {
            block = lastWriter(variant.setup, output);
        }
        const std::string values = run_.describe(difference.byte) + " is " + byteText(difference.other) +
                                   " in one run and " + byteText(difference.one) + " in the other";
        if (!block) {
            return {
                "the result of the launch depends on the order its blocks and threads run in, or on memory "
                "nothing wrote: " +
                    values,
                false};
        }
        switch (variant.cause) {
            case Cause::ThreadOrder:
                return threadOrder(*block, difference);
            case Cause::BlockOrder:
                return blockOrder(*block, output, values);
            default:
                return memoryRead(variant, *block, output, values);
        }
    }

    CheckedFault threadOrder(std::uint64_t block, const RunDifference& difference) {
        run_.attributed = {block};
        if (auto fault = run_.run(kReferenceRun)) {
            return *fault;
        }
        run_.attributed.clear();
        return {"race in " + run_.blockText(block) + " of " + std::to_string(run_.worker.threads) +
                    " threads: its result depends on the order its threads run in; " + run_.describe(difference.byte) +
                    " is " + byteText(difference.other) + " with threads in ascending order and " +
                    byteText(difference.one) + " in descending order",
                false};
    }

    // The thread of `block` (run from `state`) whose view of `read` changes what it leaves at
    // `output`: the byte holds `probed` for half of the threads and `reference` for the others,
    // halved until one thread is left.
    std::optional<unsigned> reader(const CheckedRun::Image& state, std::uint64_t block, const unsigned char* output,
                                   unsigned char* read, unsigned char reference, unsigned char probed) {
        ThreadProbe& probe = run_.worker.probe;
        const unsigned char alone = outcome(state, block, output, [&] { *read = reference; });
        const auto thread = bisect(run_.worker.threads, [&](std::size_t first, std::size_t last) {
            const unsigned char seen = outcome(state, block, output, [&] {
                probe = {};
                probe.byte = read;
                probe.reference = reference;
                probe.probed = probed;
                probe.first = static_cast<unsigned>(first);
                probe.last = static_cast<unsigned>(last);
            });
            probe = {};
            return seen != alone;
        });
        return thread ? std::optional(static_cast<unsigned>(*thread)) : std::nullopt;
    }

    // "thread (x, y, z) of block (x, y, z) reads ", or without the thread where none was found alone.
    std::string readerText(std::optional<unsigned> thread, std::uint64_t block) const {
        return (thread ? threadName(run_.worker.block, *thread) + " of " : std::string()) + run_.blockText(block) +
               " reads ";
    }

    // The block reads a byte another block writes: among the bytes the launch writes, the one whose
    // value before the block changes what it computes.
    CheckedFault blockOrder(std::uint64_t block, const unsigned char* output, const std::string& values) {
        // Two blocks that write one byte, with different values.
        if (const std::vector<std::uint64_t> both = writers(kReferenceRun, output); both.size() > 1) {
            return {"global-memory race: " + run_.blockText(both[0]) + " and " + run_.blockText(both[1]) +
                        " both write " + run_.describe(*run_.find(output)),
                    false};
        }
        const CheckedRun::Image& start = run_.start();
        const unsigned char alone = outcome(start, block, output);
        const CheckedRun::Image ownRun = run_.capture();
        Candidates written;
        for (std::size_t which = 0; which < run_.watched.size(); ++which) {
            const std::vector<unsigned char>& was = run_.start()[which];
            const std::vector<unsigned char>& now = reference_[which];
            unsigned char* span = run_.address({which, 0});
            // Bytes the block writes itself are not what it reads of others.
            const auto candidate = [&](std::size_t at) { return was[at] != now[at] && ownRun[which][at] == was[at]; };
            for (std::size_t at = 0; at < was.size();) {
                if (!candidate(at)) {
                    ++at;
                    continue;
                }
                const std::size_t first = at;
                while (at < was.size() && candidate(at)) {
                    ++at;
                }
                written.ranges.push_back({span + first, at - first});
            }
        }
        const auto applied = [&](std::size_t first, std::size_t last) {
            return [&, first, last] {
                std::size_t index = 0;
                for (const DeviceRange& range : written.ranges) {
                    const SpanByte where = *run_.find(range.begin);
                    const std::size_t begin = std::max(first, index);
                    const std::size_t end = std::min(last, index + range.bytes);
                    if (begin < end) {
                        std::memcpy(range.begin + (begin - index),
                                    reference_[where.watched].data() + where.offset + (begin - index), end - begin);
                    }
                    index += range.bytes;
                }
            };
        };
        const auto found = bisect(written.total(), [&](std::size_t first, std::size_t last) {
            return outcome(start, block, output, applied(first, last)) != alone;
        });
        if (found) {
            unsigned char* read = written.at(*found);
            const SpanByte where = *run_.find(read);
            if (const auto writer = lastWriter(kReferenceRun, read); writer && *writer != block) {
                const auto thread = reader(start, block, output, read, start[where.watched][where.offset],
                                           reference_[where.watched][where.offset]);
                return {"global-memory race: " + readerText(thread, block) + run_.describe(where) + ", which " +
                            run_.blockText(*writer) + " writes in the same launch",
                        false};
            }
        }
        return {"global-memory race: the result of " + run_.blockText(block) +
                    " depends on the order blocks run in, so it reads what another block of the launch writes; " +
                    values,
                false};
    }

    // The block reads a byte the variant's fill covers: found by halving those bytes, then the
    // threads that see the probed value.
    CheckedFault memoryRead(const Variant& variant, std::uint64_t block, const unsigned char* output,
                            const std::string& values) {
        const RunSetup& setup = variant.setup;
        Candidates candidates;
        unsigned char probed = kProbeFill;
        bool shared = false;
        for (std::size_t which = 0; which < run_.watched.size(); ++which) {
            const WatchedMemory& memory = run_.watched[which];
            unsigned char* begin = memory.memory.begin;
            if (variant.cause == Cause::Unwritten && !memory.memory.freed) {
                candidates.ranges.insert(candidates.ranges.end(), memory.unwritten.begin(), memory.unwritten.end());
            } else if (variant.cause == Cause::Freed && memory.memory.freed) {
                candidates.ranges.push_back({begin, memory.memory.bytes});
            } else if (variant.cause == Cause::Guard) {
                candidates.ranges.push_back({begin - memory.memory.guardBefore, memory.memory.guardBefore});
                candidates.ranges.push_back({begin + memory.memory.bytes, memory.memory.guardAfter});
                probed = setup.guard;
            }
        }
        unsigned char* sharedMemory = run_.worker.shared;
        if (variant.cause == Cause::Shared) {
            candidates.ranges.push_back({sharedMemory, run_.worker.sharedBytes});
            shared = true;
        } else if (variant.cause == Cause::SharedGuard) {
            candidates.ranges.push_back({sharedMemory - kSharedGuardBytes, kSharedGuardBytes});
            candidates.ranges.push_back({sharedMemory + run_.worker.sharedBytes, kSharedGuardBytes});
            probed = setup.sharedGuard;
            shared = true;
        }
        const CheckedRun::Image state = before(block);
        const unsigned char alone = outcome(state, block, output);
        const auto probing = [&](std::size_t first, std::size_t last) {
            return [&, first, last] { candidates.fill(first, last, probed); };
        };
        const auto changes = [&](std::size_t first, std::size_t last) {
            if (shared) {
                run_.afterSharedFill = probing(first, last);
                const bool changed = outcome(state, block, output) != alone;
                run_.afterSharedFill = nullptr;
                return changed;
            }
            return outcome(state, block, output, probing(first, last)) != alone;
        };
        const auto found = bisect(candidates.total(), changes);
        if (!found) {
            return fallback(variant.cause, block, values);
        }
        unsigned char* read = candidates.at(*found);
        const unsigned char reference = variant.cause == Cause::Shared ? kUnwrittenFill
                                        : variant.cause == Cause::SharedGuard
                                            ? kGuardFill
                                            : state[run_.find(read)->watched][run_.find(read)->offset];
        const auto thread = reader(state, block, output, read, reference, probed);
        const std::string who = readerText(thread, block);
        if (shared) {
            const std::ptrdiff_t offset = read - run_.worker.shared;
            const bool outside = offset < 0 || offset >= static_cast<std::ptrdiff_t>(run_.worker.sharedBytes);
            return {(outside ? "out-of-bounds read: " : "uninitialised read: ") + who +
                        sharedByteName(run_.worker, offset) + (outside ? "" : ", which its threads have not written"),
                    outside};
        }
        const std::string where = run_.describe(*run_.find(read));
        switch (variant.cause) {
            case Cause::Unwritten:
                return {"uninitialised read: " + who + where + ", which nothing has written", false};
            case Cause::Guard:
                return {"out-of-bounds read: " + who + where, true};
            default:
                return {"use after free: " + who + where + ", freed by cudaFreeAsync", true};
        }
    }

    CheckedFault fallback(Cause cause, std::uint64_t block, const std::string& values) const {
        const std::string result = "the result of " + run_.blockText(block) + " depends on ";
        switch (cause) {
            case Cause::Unwritten:
                return {"uninitialised read: " + result + "device memory nothing has written; " + values, false};
            case Cause::Shared:
                return {"uninitialised read: " + result + "shared memory its threads have not written; " + values,
                        false};
            case Cause::Guard:
                return {"out-of-bounds read: " + result + "the guard zones around its allocations; " + values, true};
            case Cause::SharedGuard:
                return {"out-of-bounds read: " + result + "the guard zones around its shared memory; " + values, true};
            default:
                return {"use after free: " + result + "freed memory; " + values, true};
        }
    }

    CheckedRun& run_;
    RunDifference found_;
    CheckedRun::Image reference_;
};

}  // namespace

CheckedFault locateFault(CheckedRun& run, const RunDifference& found) {
    return Locator(run, found).locate();
}

}  // namespace Halcyne::Core::Vestra::CpuDevice
