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

// An allocation a checked launch may write, found through its pointer argument `argument`.
struct WatchedRegion {
    unsigned char* begin;
    std::size_t bytes;
    std::size_t argument;
    std::size_t elementBytes;  // of the argument's type: what was written is marked in whole elements
};

// A launch for checking mode: its configuration, the allocations it may write, and the unwritten
// ranges of the allocations it only reads.
struct CheckedGrid {
    LaunchShape shape;
    std::vector<WatchedRegion> regions;
    std::vector<DeviceRange> unwrittenInputs;
};

// Checking mode: runs the blocks one at a time on the calling thread, each with its threads in
// ascending and then in descending order, and gives the first fault found: two threads writing one
// shared-memory byte between barriers, two blocks writing one byte of a watched region (bytes updated
// by atomics excepted), a block whose watched bytes differ between the two orders, or, from a third
// run with unwritten shared memory and unwritten inputs holding kProbeFill, a block whose result
// depends on memory nothing wrote. On success `written` holds the ranges of the watched regions the
// launch changed.
[[nodiscard]] std::optional<std::string> executeCheckedGrid(const CheckedGrid& launch,
                                                            std::vector<DeviceRange>& written);

}  // namespace Halcyne::Core::Vestra::CpuDevice
