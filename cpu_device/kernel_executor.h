// Runs a launch on the host. Each block runs on one host thread: its CUDA threads first run one
// after another on a single fiber; the first `__syncthreads` of thread 0 turns the block into one
// fiber per CUDA thread, resumed round-robin from barrier to barrier. Blocks may be spread over
// several host threads; results do not depend on how, since blocks write disjoint outputs.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "cpu_device/device_state.h"
#include "cpu_device/kernel_language.h"

namespace Halcyne::Core::Vestra::CpuDevice {

// A launch whose configuration was checked: its grid, its blocks, the bytes of the kernel's static
// shared arrays and of its dynamic shared memory, and the kernel call.
struct LaunchShape {
    dim3 grid;
    dim3 block;
    std::size_t staticBytes;
    std::size_t dynamicBytes;
    KernelBody body;
};

// Runs every block of a launch. Gives the description of the fault of the faulting block with the
// lowest linear index, when any block faulted.
[[nodiscard]] std::optional<std::string> executeGrid(const LaunchShape& shape);

// Memory a checked launch reaches through a pointer argument (or a pointer inside a class-type
// argument), named as fault texts name it, with the bytes nothing had written when the launch began.
struct WatchedMemory {
    ReachableMemory memory;
    std::string name;  // "the allocation that argument 1 points into"
    std::vector<DeviceRange> unwritten;
    bool writable;  // reached through a pointer to non-const
};

// A fault a checked launch found: what it is, and whether it is an access out of bounds or of
// freed memory (cudaErrorIllegalAddress) rather than a race or a read of unwritten memory
// (cudaErrorLaunchFailure).
struct CheckedFault {
    std::string text;
    bool address = false;
    // A block that was not watched thread by thread, whose fault a run watching it can name better.
    std::optional<std::uint64_t> unwatchedBlock = std::nullopt;
};

// Checking mode: runs the grid twice from the same memory, once as a reference (blocks and threads
// in ascending order, unwritten memory, shared memory and freed memory holding kUnwrittenFill, guard
// zones kGuardFill) and once probing (both orders descending, the fills kProbeFill and
// kGuardProbeFill), and compares what the two left in the watched memory; a difference is located
// by further runs that change one thing at a time and named. Within a block, threads that write one
// shared byte between barriers, or one global byte in the blocks looked at closely (the first, the
// middle and the last), are races, and a write after the end of shared memory or into a guard zone
// is out of bounds. On success the memory holds the reference run's result and the bytes the launch
// wrote are marked written.
[[nodiscard]] std::optional<CheckedFault> executeCheckedGrid(const LaunchShape& shape,
                                                             const std::vector<WatchedMemory>& watched);

}  // namespace Halcyne::Core::Vestra::CpuDevice
