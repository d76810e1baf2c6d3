// The one place that knows the device backend: the CUDA runtime, cuBLAS and bfloat16 of the
// toolkit when VESTRA_DEVICE_CUDA is defined, otherwise the CPU device's stand-ins for the same
// calls under the same names. Everything else in cuda/ is written against CUDA alone.
#pragma once

#if defined(VESTRA_DEVICE_CUDA)
#include <cublas_v2.h>
#include <cuda_bf16.h>
#include <cuda_runtime.h>
#else
#include "cpu_device/cublas_v2.h"
#include "cpu_device/cuda_bf16.h"
#include "cpu_device/cuda_runtime.h"
#include "cpu_device/kernel_language.h"
#endif
