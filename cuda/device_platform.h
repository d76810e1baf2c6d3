// The one place that knows the device backend: the CUDA runtime, cuBLAS and bfloat16 of the
// toolkit when VESTRA_DEVICE_CUDA is defined, otherwise the CPU device's stand-ins for the same
// calls under the same names. Everything else in cuda/ is written against CUDA alone, except that a
// kernel declares its `__shared__` arrays through VESTRA_SHARED_ARRAY and their bytes right after
// it, which only the CPU device needs:
//     VESTRA_SHARED_ARRAY(double, cache, 128);                  // in the kernel, declares `cache`
//     VESTRA_STATIC_SHARED_BYTES(someKernel, 128 * sizeof(double));  // after it
// On the CPU device the arrays live in the block's shared memory beside the dynamic part, filled
// and watched by checking mode like it, and `exp` is the device's own (cpu_device/device_math.h), as
// CUDA's math library serves device code under nvcc.
#pragma once

#include "core/vector_loops.h"

#if defined(VESTRA_DEVICE_CUDA)
#include <cublas_v2.h>
#include <cuda_bf16.h>
#include <cuda_runtime.h>

// nvcc sizes every kernel's static shared memory itself.
#define VESTRA_STATIC_SHARED_BYTES(kernel, bytes) \
    static_assert((bytes) <= 49152, "static shared memory beyond what a block may have")
#define VESTRA_SHARED_ARRAY(Type, name, count) __shared__ Type name[count]
#else
#include "cpu_device/cublas_v2.h"
#include "cpu_device/cuda_bf16.h"
#include "cpu_device/cuda_runtime.h"
#include "cpu_device/device_math.h"
#include "cpu_device/kernel_language.h"

#define VESTRA_SHARED_ARRAY(Type, name, count) \
    Type* const name = ::Halcyne::Core::Vestra::CpuDevice::staticSharedArray<Type>(count)
#endif

namespace Halcyne::Core::Vestra {

// Whether kernels take the forms written for a GPU, whose threads run side by side and want one
// element each, coalesced loads and state that fits in registers: always under nvcc, and on the
// CPU device when it is built with VESTRA_GPU_KERNEL_FORMS, so that CI runs the code a GPU will
// run. Otherwise the CPU device takes forms of its own, which hand a block's work to fewer threads
// that its host core works through with vector instructions.
#if defined(VESTRA_DEVICE_CUDA) || defined(VESTRA_GPU_KERNEL_FORMS)
inline constexpr bool kGpuKernelForms = true;
#else
inline constexpr bool kGpuKernelForms = false;
#endif

// The 16-bit brain floating-point type of both backends (the toolkit's, or the CPU device's with
// the same size and bit layout).
using bfloat16 = __nv_bfloat16;

}  // namespace Halcyne::Core::Vestra
