// One generic harness for the failure paths of the device operator functions. An operation is
// described by the device calls it makes, in order; the harness makes each of them fail in turn on
// the CPU device and checks that the failure is reported under its name and that every device
// buffer was given back.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cuda/device_allocator.h"
#include "cuda/transformer_cuda_context.h"

namespace Halcyne::Core::Vestra::Testing {

using DeviceCall = std::function<void(const TransformerCudaContext&)>;

struct DeviceOperation {
    std::string name;
    DeviceCall call;                  // with valid arguments
    std::vector<std::string> copies;  // the upload and download operation names, in call order
    std::string kernelCheck;
    unsigned launches = 1;
    std::string synchronize;
};

// Forwards to a TransformerCudaAllocator and counts the allocations asked of it.
class CountingAllocator final : public ITransformerDeviceAllocator {
  public:
    void* allocate(std::uint64_t bytes, cudaStream_t stream) override {
        ++allocations;
        return inner.allocate(bytes, stream);
    }
    void deallocate(void* pointer, std::uint64_t bytes, cudaStream_t stream) override {
        inner.deallocate(pointer, bytes, stream);
    }
    [[nodiscard]] std::uint64_t allocatedBytes() const override { return inner.allocatedBytes(); }
    [[nodiscard]] std::uint64_t peakBytes() const override { return inner.peakBytes(); }

    TransformerCudaAllocator inner;
    std::uint64_t allocations = 0;
};

// Fails every allocation, copy and launch of the operation and its synchronisation, one at a time:
// each must be reported with its operation's name (kind Runtime; an allocation as kind Allocation)
// and leave the allocator's allocated bytes and the device's live allocations where they were.
// Also checks that the operation makes exactly the listed copies and launches.
void expectEveryDeviceFailureReported(const DeviceOperation& operation);

// A context without a stream, and one without an allocator, are refused with kind Context before
// anything is allocated.
void expectIncompleteContextRefused(const DeviceOperation& operation);

// A call with malformed arguments throws std::invalid_argument with `message` before it allocates.
struct Refusal {
    std::string message;
    DeviceCall call;
};
void expectRefusedBeforeDeviceWork(const Refusal& refusal);

}  // namespace Halcyne::Core::Vestra::Testing
