// The CUDA runtime calls of the CPU device. Work runs at once on the calling thread, so every call
// on a stream is complete when it returns, and a stream-ordered free may release at once.
#include <cxxabi.h>
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "cpu_device/cuda_runtime.h"
#include "cpu_device/device_state.h"
#include "cpu_device/device_times.h"
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

// The kernel's name in its source where the launch knows it, else its symbol where the dynamic
// linker knows it, else its address.
std::string kernelName(const void* kernel, const char* name) {
    if (name != nullptr) {
        return name;
    }
    Dl_info info{};
    if (dladdr(kernel, &info) != 0 && info.dli_sname != nullptr && info.dli_saddr == kernel) {
        int status = 0;
        const std::unique_ptr<char, decltype(&std::free)> demangled(
            abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status), &std::free);
        return status == 0 && demangled ? demangled.get() : info.dli_sname;
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

// Checking mode: a copy or memset that reaches memory freed while checking, which waits in
// quarantine, is refused with the fault named; elsewhere an unknown range is refused all the same.
cudaError_t refuseRange(const void* pointer, std::size_t bytes, const char* call) {
    if (checking() && isFreedRange(pointer, bytes)) {
        recordKernelFault(std::string("use after free: ") + call + " reaches memory freed by cudaFreeAsync");
    }
    return fail(cudaErrorInvalidValue);
}

// Checking mode: the memory a launch reaches through its pointer arguments, and through pointers
// kept in its class-type arguments (any aligned word that points into device memory).
std::vector<WatchedMemory> watchedMemory(const LaunchPointer* pointers, std::size_t count) {
    std::vector<WatchedMemory> watched;
    const auto watch = [&](const void* address, const std::string& name, bool writable) {
        const auto memory = reachableMemory(address);
        if (!memory) {
            return;
        }
        const auto known = std::find_if(watched.begin(), watched.end(), [&](const WatchedMemory& other) {
            return other.memory.begin == memory->begin;
        });
        if (known != watched.end()) {
            known->writable = known->writable || writable;
            return;
        }
        watched.push_back(
            {*memory, name, memory->freed ? std::vector<DeviceRange>{} : unwrittenRanges(memory->begin), writable});
    };
    for (std::size_t argument = 0; argument < count; ++argument) {
        const LaunchPointer& pointer = pointers[argument];
        if (pointer.address != nullptr) {
            watch(pointer.address, "the allocation that argument " + std::to_string(argument) + " points into",
                  !pointer.readOnly);
        }
        const auto* bytes = static_cast<const unsigned char*>(pointer.aggregate);
        for (std::size_t offset = 0; offset + sizeof(void*) <= pointer.aggregateBytes; offset += alignof(void*)) {
            const void* word = nullptr;
            std::memcpy(&word, bytes + offset, sizeof word);
            if (word != nullptr) {
                watch(word,
                      "the allocation that a pointer inside argument " + std::to_string(argument) + " points into",
                      true);
            }
        }
    }
    return watched;
}

// Checking mode: a kernel that failed leaves what it may write holding unspecified values, not
// unwritten ones, so that later reads of them are not reported as reads of unwritten memory.
void markReachableWritten(const std::vector<WatchedMemory>& watched) {
    for (const WatchedMemory& memory : watched) {
        if (memory.writable && !memory.memory.freed) {
            markWritten(memory.memory.begin, memory.memory.bytes);
        }
    }
}

cudaError_t launchChecked(const std::string& kernel, const LaunchShape& shape, const LaunchPointer* pointers,
                          std::size_t count) {
    // Pageable host memory is out of a GPU kernel's reach: the launch would fault on its first access.
    for (std::size_t argument = 0; argument < count; ++argument) {
        if (pointers[argument].address != nullptr && !kernelsReach(pointers[argument].address)) {
            recordKernelFault(kernel + ": argument " + std::to_string(argument) +
                              " points to host memory, which a GPU kernel cannot reach (device memory or "
                              "cudaMallocHost memory can)");
            return fail(cudaErrorIllegalAddress);
        }
    }
    const std::vector<WatchedMemory> watched = watchedMemory(pointers, count);
    for (const WatchedMemory& memory : watched) {
        exposeReachable(memory.memory, true);
    }
    const auto fault = executeCheckedGrid(shape, watched);
    for (const WatchedMemory& memory : watched) {
        exposeReachable(memory.memory, false);
    }
    if (fault) {
        recordKernelFault(kernel + ": " + fault->text);
        markReachableWritten(watched);
        return fail(fault->address ? cudaErrorIllegalAddress : cudaErrorLaunchFailure);
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

cudaError_t cudaGetDeviceCount(int* count) {
    if (count == nullptr) {
        return fail(cudaErrorInvalidValue);
    }
    *count = 1;
    return cudaSuccess;
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
    if (destination == nullptr || source == nullptr) {
        return fail(cudaErrorInvalidValue);
    }
    if (sides.destination && !isDeviceRange(destination, bytes)) {
        return refuseRange(destination, bytes, "cudaMemcpyAsync");
    }
    if (sides.source && !isDeviceRange(source, bytes)) {
        return refuseRange(source, bytes, "cudaMemcpyAsync");
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
        return refuseRange(pointer, bytes, "cudaMemsetAsync");
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
    if (bytes != 0 && *pointer == nullptr) {
        return fail(cudaErrorMemoryAllocation);
    }
    if (*pointer != nullptr) {
        trackPinned(*pointer, bytes);
    }
    return cudaSuccess;
}

cudaError_t cudaFreeHost(void* pointer) {
    if (pointer != nullptr && !untrackPinned(pointer)) {
        return fail(cudaErrorInvalidValue);
    }
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

cudaError_t launchKernel(const cudaLaunchConfig_t* config, const void* kernel, const char* name, KernelBody body,
                         const LaunchPointer* pointers, std::size_t count) {
    recordKernelFault({});  // the last fault text describes the last launch only
    if (config == nullptr) {
        return fail(cudaErrorInvalidValue);
    }
    if (const cudaError_t error = injected(FaultSite::Launch)) {
        if (checking()) {
            markReachableWritten(watchedMemory(pointers, count));
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
    const LaunchShape shape{grid, block, staticBytes, config->dynamicSmemBytes, body};
    const DeviceTimer timer(DeviceTimer::Kind::Kernel);
    if (checking()) {
        return launchChecked(kernelName(kernel, name), shape, pointers, count);
    }
    if (auto fault = executeGrid(shape)) {
        recordKernelFault(kernelName(kernel, name) + ": " + *fault);
        return fail(cudaErrorLaunchFailure);
    }
    // A kernel that wrote outside its allocations fails as on a GPU, where such a write is an illegal
    // address; what it wrote into the guard zones stays there, so later launches fail too.
    if (auto fault = checkGuards(pointers, count)) {
        recordKernelFault(kernelName(kernel, name) + ": " + *fault);
        return fail(cudaErrorIllegalAddress);
    }
    return cudaSuccess;
}

std::string kernelNameFromSignature(const char* signature) {
    // "... [with auto Kernel = ns::{anonymous}::name<1, 2>]" or "... [Kernel = &ns::(anonymous namespace)::name]"
    const std::string_view text = signature;
    const std::size_t key = text.find("Kernel = ");
    if (key == std::string_view::npos) {
        return std::string(text);
    }
    std::string_view name = text.substr(key + 9);
    int depth = 0;
    std::size_t end = 0;
    std::size_t qualifier = 0;  // where the name starts after its namespaces
    for (; end < name.size(); ++end) {
        const char c = name[end];
        if (c == '<' || c == '(' || c == '{') {
            ++depth;
        } else if (c == '>' || c == ')' || c == '}') {
            --depth;
        } else if (depth == 0 && (c == ']' || c == ';')) {
            break;
        } else if (depth == 0 && c == ':' && end + 1 < name.size() && name[end + 1] == ':') {
            qualifier = end + 2;
        }
    }
    name = name.substr(0, end);
    name = name.substr(std::min(qualifier, name.size()));
    if (!name.empty() && name.front() == '&') {
        name.remove_prefix(1);
    }
    return std::string(name);
}

}  // namespace Halcyne::Core::Vestra::CpuDevice
