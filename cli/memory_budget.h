// What a run will hold in memory, estimated before it starts, so that a batch or a model the
// machine cannot hold is refused in one line rather than found out by the system's out-of-memory
// killer minutes later. The estimate counts the trainer's state (weights, optimizer moments,
// gradient sums and the copies a step and a checkpoint make), the activations of one batch (or, on
// the CPU reference, the tape of one part of it), the batch itself and the text. Sizes are
// computed in floating point, so no batch or shape can wrap them around.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/transformer_spec.h"

namespace Halcyne::Core::Vestra::Cli {

// Bytes of host memory a run on `device` with batches of `batch` windows holds at its peak, about.
// On CUDA the activations live on the GPU, whose own allocator reports a shortage; they are left out.
[[nodiscard]] double runMemoryBytes(const TransformerSpec& spec, const std::string& device, std::uint64_t batch,
                                    std::uint64_t textBytes);

// Bytes this process could have now without swapping (the memory the system reports as available,
// within the container's limit where there is one); nullopt where it cannot be told.
[[nodiscard]] std::optional<std::uint64_t> availableMemoryBytes();

// std::runtime_error "a batch of <batch> windows needs about <x> GiB of memory; this machine has <y>
// GiB available: use a smaller --batch", or, when a batch of one window does not fit either, "a model
// of <n> parameters needs about <x> GiB of memory on the <device> trainer; this machine has <y> GiB
// available: use a smaller model". Nothing is refused when the available memory is unknown.
void requireMemory(const TransformerSpec& spec, const std::string& device, std::uint64_t batch, std::uint64_t textBytes,
                   std::optional<std::uint64_t> available = availableMemoryBytes());

}  // namespace Halcyne::Core::Vestra::Cli
