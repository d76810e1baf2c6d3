// Checking mode's runs of one launch, shared by the check itself (checked_execution.cpp) and the
// naming of what it found (checked_diagnosis.cpp). Nothing outside the CPU device includes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cpu_device/host_worker.h"
#include "cpu_device/kernel_executor.h"

namespace Halcyne::Core::Vestra::CpuDevice {

// What a run of a checked launch puts in memory nothing wrote and around what the launch may touch,
// and the order its blocks and threads run in.
struct RunSetup {
    bool reverseBlocks = false;
    bool reverseThreads = false;
    unsigned char unwritten = kUnwrittenFill;  // unwritten bytes of the watched allocations
    unsigned char shared = kUnwrittenFill;     // a block's shared memory when it starts
    unsigned char guard = kGuardFill;          // guard zones around the allocations
    unsigned char freed = kUnwrittenFill;      // freed allocations
    unsigned char sharedGuard = kGuardFill;    // guard zones around shared memory
};

inline constexpr RunSetup kReferenceRun{};
inline constexpr RunSetup kProbingRun{true, true, kProbeFill, kProbeFill, kGuardProbeFill, kProbeFill, kGuardProbeFill};

// A byte of watched memory: the watched allocation, and the offset from the start of its span (the
// guard zone before it included).
struct SpanByte {
    std::size_t watched;
    std::size_t offset;
};

// A byte two runs left with different values, or that one run changed where it may not.
struct RunDifference {
    SpanByte byte;
    unsigned char one;    // after the run on memory
    unsigned char other;  // in the image it is compared with
};

class CheckedRun {
  public:
    // The watched memory as one image per allocation span.
    using Image = std::vector<std::vector<unsigned char>>;

    CheckedRun(const LaunchShape& shape, const std::vector<WatchedMemory>& watched);
    ~CheckedRun();
    CheckedRun(const CheckedRun&) = delete;
    CheckedRun& operator=(const CheckedRun&) = delete;

    [[nodiscard]] Image capture() const;
    void restore(const Image& image) const;
    [[nodiscard]] const Image& start() const { return start_; }

    // Puts the setup's fills in the unwritten bytes, guard zones and freed allocations.
    void applyFills(const RunSetup& setup) const;

    // Runs the first `count` blocks of the run order (all by default) from the launch's memory with
    // the setup's fills; `watch`, when given, is called with each block's index after it ran.
    [[nodiscard]] std::optional<CheckedFault> run(const RunSetup& setup, std::uint64_t count = UINT64_MAX,
                                                  const std::function<void(std::uint64_t)>& watch = {});
    // Runs one block on the memory as it stands.
    [[nodiscard]] std::optional<CheckedFault> runBlock(std::uint64_t index, const RunSetup& setup);

    // The first byte whose value after a run with `now` (on memory) and one with `then` (`image`)
    // shows a fault: a guard zone or freed memory changed, or a byte that is not the same in both
    // runs, unless nothing wrote it (it then holds each run's fill).
    [[nodiscard]] std::optional<RunDifference> firstDifference(const RunSetup& now, const Image& image,
                                                               const RunSetup& then) const;
    // The body bytes of the watched allocations that nothing had written when the launch began and
    // that a reference run (on memory) and a probing run (`probing`) both wrote.
    [[nodiscard]] std::vector<DeviceRange> newlyWritten(const Image& probing) const;

    [[nodiscard]] unsigned char* address(SpanByte byte) const;
    [[nodiscard]] bool isGuard(SpanByte byte) const;
    // "byte n of the allocation that argument k points into", or "byte n past the end of" or "before
    // the start of the allocation of m bytes that ...".
    [[nodiscard]] std::string describe(SpanByte byte) const;
    [[nodiscard]] std::optional<SpanByte> find(const unsigned char* address) const;

    [[nodiscard]] std::uint64_t blocks() const { return blocks_; }
    [[nodiscard]] std::uint64_t indexAt(std::uint64_t position, const RunSetup& setup) const {
        return setup.reverseBlocks ? blocks_ - 1 - position : position;
    }
    [[nodiscard]] std::string blockText(std::uint64_t index) const;

    const std::vector<WatchedMemory>& watched;
    HostWorker& worker;
    // Blocks whose writes to global memory are attributed to their threads in the runs that follow
    // (two threads of a block that write one byte between barriers race).
    std::vector<std::uint64_t> attributed;
    // Called after each block's shared memory is filled, before it runs.
    std::function<void()> afterSharedFill;

  private:
    [[nodiscard]] std::optional<CheckedFault> runOnce(std::uint64_t index, const RunSetup& setup);
    [[nodiscard]] std::optional<CheckedFault> runAttributed(std::uint64_t index, const RunSetup& setup);

    const LaunchShape& shape_;
    std::uint64_t blocks_;
    Image start_;
    bool atStart_ = true;  // memory holds the launch's memory with the reference fills
};

// Names the fault behind `found`, a difference between the reference run (on memory) and the
// probing run, by runs that change one thing at a time; leaves the reference run's result in memory.
[[nodiscard]] CheckedFault locateFault(CheckedRun& run, const RunDifference& found);

}  // namespace Halcyne::Core::Vestra::CpuDevice
