// The CUDA runtime calls of the CPU device. Work runs at once on the calling thread, so every call
// on a stream is complete when it returns, and a stream-ordered free may release at once.
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "cpu_device/cuda_runtime.h"
#include "cpu_device/device_state.h"
#include "cpu_device/kernel_executor.h"

namespace {

using namespace Halcyne::Core::Vestra::CpuDevice;

constexpr int kMaxSharedMemoryPerBlock = 49152;
constexpr int kMaxThreadsPerBlock = 1024;
constexpr auto kSharedLimitBytes = static_cast<std::size_t>(kMaxSharedMemoryPerBlock);

// The static shared memory of the kernels that declared theirs. Filled during static
// initialisation, so built on first use.
struct StaticSharedRegistry {
    std::mutex mutex;
    std::map<const void*, std::size_t> bytes;
};

StaticSharedRegistry& staticSharedRegistry() {
    static StaticSharedRegistry registry;
    return registry;
}

std::size_t staticSharedBytes(const void* kernel) {
    StaticSharedRegistry& registry = staticSharedRegistry();
    const std::lock_guard lock(registry.mutex);
    const auto found = registry.bytes.find(kernel);
    return found != registry.bytes.end() ? found->second : 0;
}

cudaError_t fail(cudaError_t error) {
    return recordError(error);
}

cudaError_t injected(FaultSite site) {
    const auto status = takeFault(site);
    return status ? fail(static_cast<cudaError_t>(*status)) : cudaSuccess;
}

// Which sides of a copy are device memory; cudaMemcpyDefault infers it from the pointers.
struct CopySides {
    bool destination;
    bool source;
};

bool copySides(cudaMemcpyKind kind, const void* destination, const void* source, std::size_t bytes, CopySides& sides) {
    switch (kind) {
        case cudaMemcpyHostToHost:
            sides = {false, false};
            return true;
        case cudaMemcpyHostToDevice:
            sides = {true, false};
            return true;
        case cudaMemcpyDeviceToHost:
            sides = {false, true};
            return true;
        case cudaMemcpyDeviceToDevice:
            sides = {true, true};
            return true;
        case cudaMemcpyDefault:
            sides = {isDeviceRange(destination, bytes), isDeviceRange(source, bytes)};
            return true;
    }
    return false;
}

// The kernel's symbol where the dynamic linker knows it, otherwise its address.
std::string kernelName(const void* kernel) {
    Dl_info info{};
    if (dladdr(kernel, &info) != 0 && info.dli_sname != nullptr && info.dli_saddr == kernel) {
        return info.dli_sname;
    }
    return "the kernel at " + std::to_string(reinterpret_cast<std::uintptr_t>(kernel));
}

// Checking mode: a copy to the host of bytes nothing has written is a read of uninitialised memory.
cudaError_t checkWrittenSource(const void* source, std::size_t bytes, const char* what) {
    if (const auto unwritten = firstUnwritten(source, bytes)) {
        recordKernelFault(std::string("uninitialised read: ") + what + " reads byte " + std::to_string(*unwritten) +
                          " of " + std::to_string(bytes) + " that nothing has written since allocation");
        return fail(cudaErrorInvalidValue);
    }
    return cudaSuccess;
}

// Checking mode: a kernel that failed leaves what it may write holding unspecified values, not
// unwritten ones, so that later reads of them are not reported as reads of unwritten memory.
void markWritableArguments(const LaunchPointer* pointers, std::size_t count) {
    for (std::size_t argument = 0; argument < count; ++argument) {
        if (pointers[argument].address == nullptr || pointers[argument].readOnly) {
            continue;
        }
        if (const auto owner = allocationOf(pointers[argument].address)) {
            markWritten(owner->begin, owner->bytes);
        }
    }
}

// Checking mode: the pointer arguments a kernel reads through must point at written memory (their
// first element is checked, and the rest of what they point into is probed while the blocks run),
// and what it may write is every allocation a writable pointer points into.
cudaError_t launchChecked(const void* kernel, CheckedGrid launch, const LaunchPointer* pointers, std::size_t count) {
    std::vector<DeviceRange> inputs;
    for (std::size_t argument = 0; argument < count; ++argument) {
        const LaunchPointer& pointer = pointers[argument];
        if (pointer.address == nullptr) {
            continue;
        }
        const auto owner = allocationOf(pointer.address);
        if (!owner) {
            continue;
        }
        if (pointer.readOnly) {
            const auto offset =
                static_cast<std::size_t>(static_cast<const unsigned char*>(pointer.address) - owner->begin);
            const std::size_t bytes = std::min(pointer.elementBytes, owner->bytes - offset);
            if (const auto unwritten = firstUnwritten(pointer.address, bytes)) {
                recordKernelFault("uninitialised read: " + kernelName(kernel) + " reads argument " +
                                  std::to_string(argument) + ", whose byte " + std::to_string(*unwritten) +
                                  " nothing has written since allocation");
                return fail(cudaErrorLaunchFailure);
            }
            inputs.push_back(*owner);
        } else if (std::none_of(launch.regions.begin(), launch.regions.end(),
                                [&](const WatchedRegion& region) { return region.begin == owner->begin; })) {
            launch.regions.push_back(
                {owner->begin, owner->bytes, argument, std::max<std::size_t>(1, pointer.elementBytes)});
        }
    }
    // An allocation the kernel may also write is watched instead: probing it would hide its writes.
    const auto byStart = [](const DeviceRange& a, const DeviceRange& b) { return a.begin < b.begin; };
    const auto sameStart = [](const DeviceRange& a, const DeviceRange& b) { return a.begin == b.begin; };
    std::sort(inputs.begin(), inputs.end(), byStart);
    inputs.erase(std::unique(inputs.begin(), inputs.end(), sameStart), inputs.end());
    for (const DeviceRange& input : inputs) {
        if (std::none_of(launch.regions.begin(), launch.regions.end(),
                         [&](const WatchedRegion& region) { return region.begin == input.begin; })) {
            const std::vector<DeviceRange> unwritten = unwrittenRanges(input.begin);
            launch.unwrittenInputs.insert(launch.unwrittenInputs.end(), unwritten.begin(), unwritten.end());
        }
    }
    std::vector<DeviceRange> written;
    if (auto fault = executeCheckedGrid(launch, written)) {
        recordKernelFault(fault->starts_with("__") ? *fault : kernelName(kernel) + ": " + *fault);
        markWritableArguments(pointers, count);
        return fail(cudaErrorLaunchFailure);
    }
    if (auto fault = checkGuards()) {
        recordKernelFault(kernelName(kernel) + ": " + *fault);
        markWritableArguments(pointers, count);
        return fail(cudaErrorIllegalAddress);
    }
    for (const DeviceRange& write : written) {
        markWritten(write.begin, write.bytes);
    }
    return cudaSuccess;
}

}  // namespace

cudaError_t cudaSetDevice(int device) {
    if (const cudaError_t error = injected(FaultSite::DeviceSelection)) {
        return error;
    }
    return device == 0 ? cudaSuccess : fail(cudaErrorInvalidDevice);
}

cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attribute, int device) {
    if (value == nullptr) {
        return fail(cudaErrorInvalidValue);
    }
    if (device != 0) {
        return fail(cudaErrorInvalidDevice);
    }
    switch (attribute) {
        case cudaDevAttrMaxThreadsPerBlock:
            *value = kMaxThreadsPerBlock;
            return cudaSuccess;
        case cudaDevAttrMaxSharedMemoryPerBlock:
            *value = kMaxSharedMemoryPerBlock;
            return cudaSuccess;
    }
    return fail(cudaErrorInvalidValue);
}

cudaError_t cudaStreamCreateWithFlags(cudaStream_t* stream, unsigned int flags) {
    if (const cudaError_t error = injected(FaultSite::StreamCreation)) {
        return error;
    }
    if (stream == nullptr || (flags != cudaStreamDefault && flags != cudaStreamNonBlocking)) {
        return fail(cudaErrorInvalidValue);
    }
    return createStream(stream, flags);
}

cudaError_t cudaStreamDestroy(cudaStream_t stream) {
    return fail(destroyStream(stream));
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
    if (const cudaError_t error = injected(FaultSite::Synchronization)) {
        return error;
    }
    return isLiveStream(stream) ? cudaSuccess : fail(cudaErrorInvalidResourceHandle);
}

cudaError_t cudaMallocAsync(void** pointer, std::size_t bytes, cudaStream_t stream) {
    if (const cudaError_t error = injected(FaultSite::Allocation)) {
        return error;
    }
    if (pointer == nullptr) {
        return fail(cudaErrorInvalidValue);
    }
    if (!isLiveStream(stream)) {
        return fail(cudaErrorInvalidResourceHandle);
    }
    return fail(allocateDevice(pointer, bytes));
}

struct CUmemPoolHandle_st {
    std::atomic<std::uint64_t> releaseThreshold{0};
};

namespace {

CUmemPoolHandle_st& defaultPool() {
    static CUmemPoolHandle_st pool;
    return pool;
}

}  // namespace

cudaError_t cudaFreeAsync(void* pointer, cudaStream_t stream) {
    if (pointer == nullptr) {
        return cudaSuccess;
    }
    if (!isLiveStream(stream)) {
        return fail(cudaErrorInvalidResourceHandle);
    }
    // Memory whose guard zones were written is freed all the same.
    const std::uint64_t threshold = defaultPool().releaseThreshold.load(std::memory_order_relaxed);
    return fail(freeDevice(pointer, static_cast<std::size_t>(std::min<std::uint64_t>(threshold, SIZE_MAX))));
}

cudaError_t cudaMemcpyAsync(void* destination, const void* source, std::size_t bytes, cudaMemcpyKind kind,
                            cudaStream_t stream) {
    if (const cudaError_t error = injected(FaultSite::Copy)) {
        return error;
    }
    CopySides sides{};
    if (!copySides(kind, destination, source, bytes, sides)) {
        return fail(cudaErrorInvalidMemcpyDirection);
    }
    if (!isLiveStream(stream)) {
        return fail(cudaErrorInvalidResourceHandle);
    }
    if (bytes == 0) {
        return cudaSuccess;
    }
    if (destination == nullptr || source == nullptr || (sides.destination && !isDeviceRange(destination, bytes)) ||
        (sides.source && !isDeviceRange(source, bytes))) {
        return fail(cudaErrorInvalidValue);
    }
    if (checking()) {
        if (sides.source && !sides.destination) {
            if (const cudaError_t error = checkWrittenSource(source, bytes, "a copy to the host")) {
                return error;
            }
        }
        std::memmove(destination, source, bytes);
        if (sides.destination) {
            copyWritten(destination, source, bytes);
        }
        return cudaSuccess;
    }
    std::memmove(destination, source, bytes);
    return cudaSuccess;
}

cudaError_t cudaMemsetAsync(void* pointer, int value, std::size_t bytes, cudaStream_t stream) {
    if (const cudaError_t error = injected(FaultSite::Memset)) {
        return error;
    }
    if (!isLiveStream(stream)) {
        return fail(cudaErrorInvalidResourceHandle);
    }
    if (bytes == 0) {
        return cudaSuccess;
    }
    if (!isDeviceRange(pointer, bytes)) {
        return fail(cudaErrorInvalidValue);
    }
    std::memset(pointer, value, bytes);
    if (checking()) {
        markWritten(pointer, bytes);
    }
    return cudaSuccess;
}

cudaError_t cudaFuncGetAttributes(cudaFuncAttributes* attributes, const void* function) {
    if (const cudaError_t error = injected(FaultSite::FunctionAttributes)) {
        return error;
    }
    if (attributes == nullptr) {
        return fail(cudaErrorInvalidValue);
    }
    if (function == nullptr) {
        return fail(cudaErrorInvalidDeviceFunction);
    }
    const std::size_t staticBytes = staticSharedBytes(function);
    attributes->sharedSizeBytes = staticBytes;
    attributes->maxThreadsPerBlock = kMaxThreadsPerBlock;
    attributes->maxDynamicSharedSizeBytes =
        static_cast<int>(kSharedLimitBytes - std::min(staticBytes, kSharedLimitBytes));
    return cudaSuccess;
}

cudaError_t cudaDeviceGetDefaultMemPool(cudaMemPool_t* pool, int device) {
    if (pool == nullptr) {
        return fail(cudaErrorInvalidValue);
    }
    if (device != 0) {
        return fail(cudaErrorInvalidDevice);
    }
    *pool = &defaultPool();
    return cudaSuccess;
}

cudaError_t cudaMemPoolSetAttribute(cudaMemPool_t pool, cudaMemPoolAttr attribute, void* value) {
    if (pool == nullptr || value == nullptr || attribute != cudaMemPoolAttrReleaseThreshold) {
        return fail(cudaErrorInvalidValue);
    }
    std::uint64_t threshold = 0;
    std::memcpy(&threshold, value, sizeof threshold);
    pool->releaseThreshold.store(threshold, std::memory_order_relaxed);
    return cudaSuccess;
}

cudaError_t cudaMemPoolGetAttribute(cudaMemPool_t pool, cudaMemPoolAttr attribute, void* value) {
    if (pool == nullptr || value == nullptr || attribute != cudaMemPoolAttrReleaseThreshold) {
        return fail(cudaErrorInvalidValue);
    }
    const std::uint64_t threshold = pool->releaseThreshold.load(std::memory_order_relaxed);
    std::memcpy(value, &threshold, sizeof threshold);
    return cudaSuccess;
}

cudaError_t cudaMallocHost(void** pointer, std::size_t bytes) {
    if (pointer == nullptr) {
        return fail(cudaErrorInvalidValue);
    }
    *pointer = bytes == 0 ? nullptr : ::operator new (bytes, std::align_val_t{256}, std::nothrow);
    return bytes != 0 && *pointer == nullptr ? fail(cudaErrorMemoryAllocation) : cudaSuccess;
}

cudaError_t cudaFreeHost(void* pointer) {
    ::operator delete (pointer, std::align_val_t{256});
    return cudaSuccess;
}

cudaError_t cudaGetLastError() {
    return takeLastError();
}

const char* cudaGetErrorString(cudaError_t error) {
    switch (error) {
        case cudaSuccess:
            return "no error";
        case cudaErrorInvalidValue:
            return "invalid argument";
        case cudaErrorMemoryAllocation:
            return "out of memory";
        case cudaErrorInitializationError:
            return "initialization error";
        case cudaErrorInvalidConfiguration:
            return "invalid configuration argument";
        case cudaErrorInvalidDevicePointer:
            return "invalid device pointer";
        case cudaErrorInvalidMemcpyDirection:
            return "invalid copy direction for memcpy";
        case cudaErrorInsufficientDriver:
            return "CUDA driver version is insufficient for CUDA runtime version";
        case cudaErrorInvalidDeviceFunction:
            return "invalid device function";
        case cudaErrorNoDevice:
            return "no CUDA-capable device is detected";
        case cudaErrorInvalidDevice:
            return "invalid device ordinal";
        case cudaErrorInvalidResourceHandle:
            return "invalid resource handle";
        case cudaErrorNotReady:
            return "device not ready";
        case cudaErrorIllegalAddress:
            return "an illegal memory access was encountered";
        case cudaErrorLaunchOutOfResources:
            return "too many resources requested for launch";
        case cudaErrorLaunchTimeout:
            return "the launch timed out and was terminated";
        case cudaErrorLaunchFailure:
            return "unspecified launch failure";
        case cudaErrorNotSupported:
            return "operation not supported";
        case cudaErrorUnknown:
            return "unknown error";
    }
    return "unrecognized error code";
}

namespace Halcyne::Core::Vestra::CpuDevice {

bool registerStaticSharedBytes(const void* kernel, std::size_t bytes) noexcept {
    StaticSharedRegistry& registry = staticSharedRegistry();
    const std::lock_guard lock(registry.mutex);
    registry.bytes[kernel] = bytes;
    return true;
}

cudaError_t launchKernel(const cudaLaunchConfig_t* config, const void* kernel, KernelBody body,
                         const LaunchPointer* pointers, std::size_t count) {
    if (config == nullptr) {
        return fail(cudaErrorInvalidValue);
    }
    if (const cudaError_t error = injected(FaultSite::Launch)) {
        if (checking()) {
            markWritableArguments(pointers, count);
        }
        return error;
    }
    if (config->numAttrs != 0) {
        return fail(cudaErrorNotSupported);
    }
    if (!isLiveStream(config->stream)) {
        return fail(cudaErrorInvalidResourceHandle);
    }
    const dim3 block = config->blockDim;
    const dim3 grid = config->gridDim;
    const std::uint64_t threads = std::uint64_t{block.x} * block.y * block.z;
    if (threads == 0 || block.x > 1024 || block.y > 1024 || block.z > 64 || threads > kMaxThreadsPerBlock ||
        grid.x == 0 || grid.y == 0 || grid.z == 0 || grid.x > 0x7FFFFFFFu || grid.y > 65535 || grid.z > 65535) {
        return fail(cudaErrorInvalidConfiguration);
    }
    // Static and dynamic shared memory together must fit the block, as on a GPU that was not asked
    // for more.
    const std::size_t staticBytes = staticSharedBytes(kernel);
    if (staticBytes > kSharedLimitBytes || config->dynamicSmemBytes > kSharedLimitBytes - staticBytes) {
        return fail(cudaErrorInvalidValue);
    }
    if (checking()) {
        return launchChecked(kernel, {{grid, block, staticBytes, config->dynamicSmemBytes, body}, {}, {}}, pointers,
                             count);
    }
    if (auto fault = executeGrid({grid, block, staticBytes, config->dynamicSmemBytes, body})) {
        recordKernelFault(std::move(*fault));
        return fail(cudaErrorLaunchFailure);
    }
    // A kernel that wrote outside its allocations fails as on a GPU, where such a write is an illegal
    // address; what it wrote into the guard zones stays there, so later launches fail too.
    if (auto fault = checkGuards(pointers, count)) {
        recordKernelFault(kernelName(kernel) + ": " + *fault);
        return fail(cudaErrorIllegalAddress);
    }
    return cudaSuccess;
}

}  // namespace Halcyne::Core::Vestra::CpuDevice
