// Runs a launch on the host. Each block runs on one host thread: its CUDA threads first run one
// after another on a single fiber; the first `__syncthreads` of thread 0 turns the block into one
// fiber per CUDA thread, resumed round-robin from barrier to barrier. Blocks may be spread over
// several host threads; results do not depend on how, since blocks write disjoint outputs.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "cpu_device/kernel_language.h"

namespace Halcyne::Core::Vestra::CpuDevice {

// Runs every block of a launch whose configuration was checked. Gives the description of the fault
// of the faulting block with the lowest linear index, when any block faulted.
[[nodiscard]] std::optional<std::string> executeGrid(dim3 grid, dim3 block, std::size_t sharedBytes, KernelBody body);

}  // namespace Halcyne::Core::Vestra::CpuDevice
