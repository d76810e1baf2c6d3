// CPU stand-in for the bfloat16 type and conversions of the CUDA toolkit that the device sources
// use. The type is a plain 16-bit value with the toolkit's size and bit layout.
#pragma once

#include "cpu_device/bfloat16_rounding.h"

struct __nv_bfloat16 {
    unsigned short __x;
};

inline __nv_bfloat16 __double2bfloat16(double value) {
    return {Halcyne::Core::Vestra::CpuDevice::doubleToBfloat16Bits(value)};
}

inline float __bfloat162float(__nv_bfloat16 value) {
    return Halcyne::Core::Vestra::CpuDevice::bfloat16BitsToFloat(value.__x);
}
