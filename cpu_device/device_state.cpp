#include "cpu_device/device_state.h"

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

namespace Halcyne::Core::Vestra::CpuDevice {
namespace {

constexpr std::size_t kAllocationAlignment = 256;
// What the stand-in device holds at once; beyond it cudaMallocAsync reports out of memory, as a
// GPU would, instead of letting the host swap or the sanitizer abort on a huge request.
constexpr std::size_t kDeviceCapacityBytes = std::size_t{8} << 30;

struct PendingFault {
    FaultSite site;
    std::uint64_t remaining;
    int status;
};

struct DeviceState {
    std::mutex mutex;
    std::map<const unsigned char*, std::size_t, std::greater<>> allocations;  // start -> bytes
    std::size_t allocatedBytes = 0;
    std::set<cudaStream_t> streams;
    std::set<cublasHandle_t> handles;
    std::vector<PendingFault> faults;
    std::string kernelFault;
};

DeviceState& state() {
    static DeviceState instance;
    return instance;
}

constinit thread_local cudaError_t lastError = cudaSuccess;

// Streams and cuBLAS handles live in registries so that a call on a destroyed or foreign handle is
// refused instead of dereferenced.
template <class Object>
Object* track(std::set<Object*>& live, std::unique_ptr<Object> created) {
    const std::lock_guard lock(state().mutex);
    live.insert(created.get());
    return created.release();
}

template <class Object>
bool release(std::set<Object*>& live, Object* object) {
    const std::lock_guard lock(state().mutex);
    if (live.erase(object) == 0) {
        return false;
    }
    delete object;
    return true;
}

}  // namespace

void injectFault(FaultSite site, std::uint64_t nth, int status) {
    if (nth == 0 || status == 0) {
        throw std::invalid_argument("a fault needs a call number from 1 and a non-zero status");
    }
    const std::lock_guard lock(state().mutex);
    state().faults.push_back({site, nth, status});
}

void clearFaults() noexcept {
    const std::lock_guard lock(state().mutex);
    state().faults.clear();
}

std::optional<int> takeFault(FaultSite site) {
    const std::lock_guard lock(state().mutex);
    std::optional<int> fired;
    auto& faults = state().faults;
    for (auto fault = faults.begin(); fault != faults.end();) {
        if (fault->site == site && --fault->remaining == 0) {
            if (!fired) {
                fired = fault->status;
            }
            fault = faults.erase(fault);
        } else {
            ++fault;
        }
    }
    return fired;
}

cudaError_t recordError(cudaError_t error) noexcept {
    if (error != cudaSuccess) {
        lastError = error;
    }
    return error;
}

cudaError_t takeLastError() noexcept {
    return std::exchange(lastError, cudaSuccess);
}

cudaError_t allocateDevice(void** pointer, std::size_t bytes) {
    if (bytes == 0) {
        *pointer = nullptr;
        return cudaSuccess;
    }
    {
        const std::lock_guard lock(state().mutex);
        if (bytes > kDeviceCapacityBytes - state().allocatedBytes) {
            return cudaErrorMemoryAllocation;
        }
    }
    auto* memory =
        static_cast<unsigned char*>(::operator new (bytes, std::align_val_t{kAllocationAlignment}, std::nothrow));
    if (memory == nullptr) {
        return cudaErrorMemoryAllocation;
    }
    std::memset(memory, 0xFF, bytes);
    const std::lock_guard lock(state().mutex);
    state().allocations.emplace(memory, bytes);
    state().allocatedBytes += bytes;
    *pointer = memory;
    return cudaSuccess;
}

cudaError_t freeDevice(void* pointer) {
    const std::lock_guard lock(state().mutex);
    const auto found = state().allocations.find(static_cast<const unsigned char*>(pointer));
    if (found == state().allocations.end()) {
        return cudaErrorInvalidValue;
    }
    state().allocatedBytes -= found->second;
    state().allocations.erase(found);
    ::operator delete (pointer, std::align_val_t{kAllocationAlignment});
    return cudaSuccess;
}

bool isDeviceRange(const void* pointer, std::size_t bytes) {
    const auto* start = static_cast<const unsigned char*>(pointer);
    const std::lock_guard lock(state().mutex);
    // The allocation with the greatest start not above the pointer.
    const auto owner = state().allocations.lower_bound(start);
    if (owner == state().allocations.end()) {
        return false;
    }
    const auto offset = reinterpret_cast<std::uintptr_t>(start) - reinterpret_cast<std::uintptr_t>(owner->first);
    return offset <= owner->second && bytes <= owner->second - offset;
}

std::uint64_t liveAllocations() {
    const std::lock_guard lock(state().mutex);
    return state().allocations.size();
}

std::uint64_t liveAllocationBytes() {
    const std::lock_guard lock(state().mutex);
    return state().allocatedBytes;
}

std::uint64_t liveStreams() {
    const std::lock_guard lock(state().mutex);
    return state().streams.size();
}

std::uint64_t liveBlasHandles() {
    const std::lock_guard lock(state().mutex);
    return state().handles.size();
}

cudaError_t createStream(cudaStream_t* stream, unsigned int flags) {
    *stream = track(state().streams, std::make_unique<CUstream_st>(CUstream_st{flags}));
    return cudaSuccess;
}

cudaError_t destroyStream(cudaStream_t stream) {
    return release(state().streams, stream) ? cudaSuccess : cudaErrorInvalidResourceHandle;
}

bool isLiveStream(cudaStream_t stream) {
    const std::lock_guard lock(state().mutex);
    return stream == nullptr || state().streams.contains(stream);
}

cublasHandle_t createHandle() {
    return track(state().handles, std::make_unique<cublasContext>());
}

bool destroyHandle(cublasHandle_t handle) {
    return release(state().handles, handle);
}

bool isLiveHandle(cublasHandle_t handle) {
    const std::lock_guard lock(state().mutex);
    return state().handles.contains(handle);
}

void recordKernelFault(std::string description) {
    const std::lock_guard lock(state().mutex);
    state().kernelFault = std::move(description);
}

std::string lastKernelFault() {
    const std::lock_guard lock(state().mutex);
    return state().kernelFault;
}

}  // namespace Halcyne::Core::Vestra::CpuDevice
