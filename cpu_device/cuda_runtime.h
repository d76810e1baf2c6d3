// CPU stand-in for the CUDA runtime calls the device layer makes, under their real names, types
// and error codes. There is one device (0) and everything runs at once on the calling thread in
// stream order, so a synchronisation never waits. Device memory is host memory the stand-in tracks:
// a copy, memset or launch that touches memory outside a live allocation, a bad handle or a
// configuration CUDA would refuse fails with the error CUDA reports, which also becomes the thread's
// last error (cudaGetLastError returns and clears it). The enumerations have a fixed underlying
// type so that any status value, named here or not, can be held and passed on.
#pragma once

#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>

#include "cpu_device/kernel_language.h"

enum cudaError : int {
    cudaSuccess = 0,
    cudaErrorInvalidValue = 1,
    cudaErrorMemoryAllocation = 2,
    cudaErrorInitializationError = 3,
    cudaErrorInvalidConfiguration = 9,
    cudaErrorInvalidDevicePointer = 17,
    cudaErrorInvalidMemcpyDirection = 21,
    cudaErrorInsufficientDriver = 35,
    cudaErrorInvalidDeviceFunction = 98,
    cudaErrorNoDevice = 100,
    cudaErrorInvalidDevice = 101,
    cudaErrorInvalidResourceHandle = 400,
    cudaErrorNotReady = 600,
    cudaErrorIllegalAddress = 700,
    cudaErrorLaunchOutOfResources = 701,
    cudaErrorLaunchTimeout = 702,
    cudaErrorLaunchFailure = 719,
    cudaErrorNotSupported = 801,
    cudaErrorUnknown = 999,
};
typedef enum cudaError cudaError_t;

enum cudaMemcpyKind : int {
    cudaMemcpyHostToHost = 0,
    cudaMemcpyHostToDevice = 1,
    cudaMemcpyDeviceToHost = 2,
    cudaMemcpyDeviceToDevice = 3,
    cudaMemcpyDefault = 4,
};

enum cudaDeviceAttr : int {
    cudaDevAttrMaxThreadsPerBlock = 1,
    cudaDevAttrMaxSharedMemoryPerBlock = 8,
};

#define cudaStreamDefault 0x00
#define cudaStreamNonBlocking 0x01

struct CUstream_st;
typedef struct CUstream_st* cudaStream_t;

// The device's default stream-ordered memory pool. Work runs at once, so freed memory goes back to
// the host at once whatever the pool's release threshold, which is kept for cudaMemPoolGetAttribute.
struct CUmemPoolHandle_st;
typedef struct CUmemPoolHandle_st* cudaMemPool_t;

enum cudaMemPoolAttr : int {
    cudaMemPoolAttrReleaseThreshold = 4,  // std::uint64_t bytes
};

// Launch attributes are not supported: numAttrs must be 0.
struct cudaLaunchAttribute;

struct cudaLaunchConfig_t {
    dim3 gridDim;
    dim3 blockDim;
    std::size_t dynamicSmemBytes;
    cudaStream_t stream;
    cudaLaunchAttribute* attrs;
    unsigned int numAttrs;
};

// What the CPU device knows of a kernel: its static shared memory is what its source declared with
// VESTRA_STATIC_SHARED_BYTES (none without it), and no kernel declares launch bounds.
struct cudaFuncAttributes {
    std::size_t sharedSizeBytes;
    int maxThreadsPerBlock;
    int maxDynamicSharedSizeBytes;  // the per-block limit less the static shared memory
};

cudaError_t cudaSetDevice(int device);
// The CPU device is one device.
cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attribute, int device);
cudaError_t cudaStreamCreateWithFlags(cudaStream_t* stream, unsigned int flags);
cudaError_t cudaStreamDestroy(cudaStream_t stream);
cudaError_t cudaStreamSynchronize(cudaStream_t stream);
cudaError_t cudaMallocAsync(void** pointer, std::size_t bytes, cudaStream_t stream);
cudaError_t cudaFreeAsync(void* pointer, cudaStream_t stream);
cudaError_t cudaMemcpyAsync(void* destination, const void* source, std::size_t bytes, cudaMemcpyKind kind,
                            cudaStream_t stream = nullptr);
cudaError_t cudaMemsetAsync(void* pointer, int value, std::size_t bytes, cudaStream_t stream = nullptr);
cudaError_t cudaFuncGetAttributes(cudaFuncAttributes* attributes, const void* function);
cudaError_t cudaDeviceGetDefaultMemPool(cudaMemPool_t* pool, int device);
cudaError_t cudaMemPoolSetAttribute(cudaMemPool_t pool, cudaMemPoolAttr attribute, void* value);
cudaError_t cudaMemPoolGetAttribute(cudaMemPool_t pool, cudaMemPoolAttr attribute, void* value);
// Page-locked host memory is plain host memory here, 256-byte aligned.
cudaError_t cudaMallocHost(void** pointer, std::size_t bytes);
cudaError_t cudaFreeHost(void* pointer);
cudaError_t cudaGetLastError();
const char* cudaGetErrorString(cudaError_t error);

namespace Halcyne::Core::Vestra::CpuDevice {

// Checks the configuration and runs every block of the grid; what cudaLaunchKernelEx ends in.
// `pointers` are the launch's arguments as checking mode sees them, `count` of them; `name` is the
// kernel's name in its source where the launch knows it, for fault texts, or null.
cudaError_t launchKernel(const cudaLaunchConfig_t* config, const void* kernel, const char* name, KernelBody body,
                         const LaunchPointer* pointers, std::size_t count);

// The name of the kernel that a function template with the parameter `auto Kernel` was
// instantiated for, taken from that function's signature text (`signature`), without namespaces.
[[nodiscard]] std::string kernelNameFromSignature(const char* signature);

template <auto Kernel>
[[nodiscard]] const char* kernelSourceName() {
    static const std::string name = kernelNameFromSignature(__PRETTY_FUNCTION__);
    return name.c_str();
}

}  // namespace Halcyne::Core::Vestra::CpuDevice

template <class... Params>
cudaError_t cudaFuncGetAttributes(cudaFuncAttributes* attributes, void (*kernel)(Params...)) {
    return cudaFuncGetAttributes(attributes, reinterpret_cast<const void*>(kernel));
}

namespace Halcyne::Core::Vestra::CpuDevice {

// A launch of `kernel` whose arguments were converted to its parameter types, as in a CUDA launch;
// `call(arguments...)` calls the kernel. Each CUDA thread receives its own copies: the arguments
// are copied into the body, so that a block's loop over its threads reads each one straight from
// there.
template <class... Params, class Call>
cudaError_t launchWith(const cudaLaunchConfig_t* config, void (*kernel)(Params...), const char* name, Call call,
                       std::type_identity_t<Params>... arguments) {
    const auto body = [=] { call(arguments...); };
    const LaunchPointer pointers[] = {LaunchPointer::of(arguments)..., LaunchPointer{nullptr, 0, true}};
    return launchKernel(config, reinterpret_cast<const void*>(kernel), name, KernelBody::of(body), pointers,
                        sizeof...(Params));
}

// A launch of a kernel known when it is compiled (what cuda/launch.h uses): the kernel's body can be
// inlined into the loop over a block's threads.
template <auto Kernel, class... Params, class... Args>
cudaError_t launchKnownKernel(const cudaLaunchConfig_t* config, void (*)(Params...), Args&&... args) {
    return launchWith<Params...>(
        config, Kernel, kernelSourceName<Kernel>(), [](Params... arguments) { Kernel(arguments...); },
        std::forward<Args>(args)...);
}

}  // namespace Halcyne::Core::Vestra::CpuDevice

// Arguments convert to the kernel's parameter types as in a CUDA launch.
template <class... ExpTypes, class... ActTypes>
cudaError_t cudaLaunchKernelEx(const cudaLaunchConfig_t* config, void (*kernel)(ExpTypes...), ActTypes&&... args) {
    return Halcyne::Core::Vestra::CpuDevice::launchWith<ExpTypes...>(
        config, kernel, nullptr, [kernel](ExpTypes... arguments) { kernel(arguments...); },
        std::forward<ActTypes>(args)...);
}
