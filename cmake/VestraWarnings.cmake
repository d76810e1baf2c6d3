# Host code is held to -Wall -Wextra -Wpedantic with warnings as errors; nvcc holds device sources
# to the same through the host compiler and treats its own warnings as errors, a kernel whose
# registers spill to local memory among them (its per-thread state must fit in registers).
function(vestra_host_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE
      $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wpedantic -Werror>
      $<$<COMPILE_LANGUAGE:CUDA>:-Werror=all-warnings -Xptxas=-warn-spills -Xcompiler=-Wall,-Wextra,-Werror>)
  endif()
endfunction()
