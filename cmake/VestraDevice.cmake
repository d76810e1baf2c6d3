# Device backend, chosen at configure time. "cpu" (the default) compiles the device sources as C++
# and runs them on the host through cpu_device/, a stand-in for the CUDA runtime and cuBLAS; "cuda"
# compiles them with nvcc into sm_90 and sm_120 machine code plus compute_90 PTX, and links cudart
# and cuBLAS.
set(VESTRA_DEVICE_BACKEND "cpu" CACHE STRING "Device backend: cpu (host execution) or cuda (nvcc, GPU)")
set_property(CACHE VESTRA_DEVICE_BACKEND PROPERTY STRINGS cpu cuda)

# The kernels' GPU forms (work spread over a block's threads, warp shuffles, coalesced loads) are
# the only forms nvcc builds; the CPU device builds faster forms of its own unless this asks for the
# GPU forms, as CI does, so that the code a GPU will run runs on every commit.
option(VESTRA_GPU_KERNEL_FORMS "CPU device backend: build the kernels' GPU forms (always on under nvcc)" OFF)

# The device layer, the driver and the benchmarks need a backend; a cross build of the host
# library alone (for example for Windows) may go without one.
set(VESTRA_DEVICE_LAYER ON)
if(VESTRA_DEVICE_BACKEND STREQUAL "cuda")
  if(NOT DEFINED CMAKE_CUDA_COMPILER AND NOT DEFINED ENV{CUDACXX} AND EXISTS /usr/local/cuda/bin/nvcc)
    set(CMAKE_CUDA_COMPILER /usr/local/cuda/bin/nvcc)
  endif()
  # "90" is sm_90 machine code and compute_90 PTX, "120-real" sm_120 machine code alone. A GPU that
  # neither set of machine code runs (compute capability 10.x, or one newer than 12.x) gets the PTX
  # compiled by its driver at load: PTX runs on its own capability and every later one, so compute_90
  # reaches them all, where compute_120 PTX would leave out the 10.x GPUs.
  if(NOT DEFINED CMAKE_CUDA_ARCHITECTURES)
    set(CMAKE_CUDA_ARCHITECTURES 90 120-real)
  endif()
  enable_language(CUDA)
  # CMake 3.25 does not yet know nvcc's C++20 switch.
  if(NOT DEFINED CMAKE_CUDA20_STANDARD_COMPILE_OPTION)
    set(CMAKE_CUDA20_STANDARD_COMPILE_OPTION "-std=c++20")
    set(CMAKE_CUDA20_EXTENSION_COMPILE_OPTION "-std=c++20")
  endif()
  set(CMAKE_CUDA_STANDARD 20)
  set(CMAKE_CUDA_STANDARD_REQUIRED ON)
  set(CMAKE_CUDA_EXTENSIONS OFF)
  find_package(CUDAToolkit REQUIRED)
elseif(VESTRA_DEVICE_BACKEND STREQUAL "cpu")
  find_package(boost_context 1.74 CONFIG QUIET)
  if(NOT boost_context_FOUND)
    if(CMAKE_CROSSCOMPILING)
      message(STATUS "Boost.Context not found for the target: building the host library only")
      set(VESTRA_DEVICE_LAYER OFF)
    else()
      message(FATAL_ERROR "The CPU device backend needs Boost.Context 1.74 or newer "
                          "(Debian: apt-get install libboost-context-dev)")
    endif()
  endif()
  find_package(Threads REQUIRED)
else()
  message(FATAL_ERROR "VESTRA_DEVICE_BACKEND must be cpu or cuda, not '${VESTRA_DEVICE_BACKEND}'")
endif()

# Adds device sources (.cu) to a target: nvcc compiles them for the cuda backend, the host C++
# compiler for the cpu backend. There they are compiled without contraction, so that no clone of a
# function (core/vector_loops.h) fuses a multiply and an add that another keeps apart; without
# trapping math (no kernel enables floating-point traps), so that GCC may vectorize a loop with a
# conditional select (the device's `exp` has two), which it otherwise leaves scalar; and without
# errno (no kernel reads it; CUDA's math sets none), so that a loop with `sqrt` vectorizes too.
# Results keep their bits: nothing is fused or reordered.
function(vestra_device_sources target)
  target_sources(${target} PRIVATE ${ARGN})
  if(VESTRA_DEVICE_BACKEND STREQUAL "cpu")
    set_source_files_properties(${ARGN} PROPERTIES LANGUAGE CXX)
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
      set_property(SOURCE ${ARGN} APPEND PROPERTY COMPILE_OPTIONS -ffp-contract=off -fno-trapping-math -fno-math-errno)
    endif()
  endif()
endfunction()
