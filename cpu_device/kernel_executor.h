// Runs a launch on the host. Each block runs on one host thread: its CUDA threads first run one
// after another on a single fiber; the first `__syncthreads` of thread 0 turns the block into one
// fiber per CUDA thread, resumed round-robin from barrier to barrier. Blocks may be spread over
// several host threads; results do not depend on how, since blocks write disjoint outputs.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "cpu_device/kernel_language.h"

namespace Halcyne::Core::Vestra::CpuDevice {

// Runs every block of a launch whose configuration was checked. Gives the description of the fault
// of the faulting block with the lowest linear index, when any block faulted.
[[nodiscard]] std::optional<std::string> executeGrid(dim3 grid, dim3 block, std::size_t sharedBytes, KernelBody body);

// An allocation a checked launch may write, found through its pointer argument `argument`.
struct WatchedRegion {
    unsigned char* begin;
    std::size_t bytes;
    std::size_t argument;
    std::size_t elementBytes;  // of the argument's type: what was written is marked in whole elements
};

struct DeviceWrite {
    unsigned char* begin;
    std::size_t bytes;
};

// Checking mode: runs the blocks one at a time on the calling thread, each twice, with its threads
// in ascending and then in descending order, and gives the first race found: two threads writing one
// dynamic shared-memory byte between barriers, two blocks writing one byte of a watched region
// (bytes updated by atomics excepted), or a block whose watched bytes differ between the two orders.
// On success `written` holds the ranges of the watched regions the launch changed.
[[nodiscard]] std::optional<std::string> executeCheckedGrid(dim3 grid, dim3 block, std::size_t sharedBytes,
                                                            KernelBody body, const std::vector<WatchedRegion>& regions,
                                                            std::vector<DeviceWrite>& written);

}  // namespace Halcyne::Core::Vestra::CpuDevice
