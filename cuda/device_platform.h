// The one place that knows the device backend: the CUDA runtime, cuBLAS and bfloat16 of the
// toolkit when VESTRA_DEVICE_CUDA is defined, otherwise the CPU device's stand-ins for the same
// calls under the same names. Everything else in cuda/ is written against CUDA alone, except that a
// kernel with `__shared__` variables declares their bytes right after it, which only the CPU device
// needs: VESTRA_STATIC_SHARED_BYTES(someKernel, 128 * sizeof(double));
#pragma once

#if defined(VESTRA_DEVICE_CUDA)
#include <cublas_v2.h>
#include <cuda_bf16.h>
#include <cuda_runtime.h>

// nvcc sizes every kernel's static shared memory itself.
#define VESTRA_STATIC_SHARED_BYTES(kernel, bytes) \
    static_assert((bytes) <= 49152, "static shared memory beyond what a block may have")
#else
#include "cpu_device/cublas_v2.h"
#include "cpu_device/cuda_bf16.h"
#include "cpu_device/cuda_runtime.h"
#include "cpu_device/kernel_language.h"
#endif

namespace Halcyne::Core::Vestra {

// The 16-bit brain floating-point type of both backends (the toolkit's, or the CPU device's with
// the same size and bit layout).
using bfloat16 = __nv_bfloat16;

}  // namespace Halcyne::Core::Vestra
