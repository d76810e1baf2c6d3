// A trainer's failures in words a person can act on. The trainers report what went wrong in their
// own terms ("non-finite CUDA gradient norm", "cudaMallocAsync: out of memory"), which name the
// GPU even when this build runs the device code on the processor; a run reports the device it
// really used, the step, and what to change.
#pragma once

#include <cstdint>
#include <string>

namespace Halcyne::Core::Vestra::Cli {

// "the CPU reference trainer", "the CPU device (...)" or "the GPU", for a name availableDevices() lists.
[[nodiscard]] std::string deviceWords(const std::string& device);

// Called inside a catch block: rethrows the exception in flight as std::runtime_error in those
// words when it is a divergence at `step` (0: while the trainer is built) (std::domain_error) or an exhausted memory;
// anything else as it is.
[[noreturn]] void rethrowTrainerFailure(const std::string& device, std::uint64_t step);

}  // namespace Halcyne::Core::Vestra::Cli
