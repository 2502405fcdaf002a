# One place for the warning set, applied per target so third-party code is unaffected.
# QX_THREAD_SAFETY (clang only) turns clang's lock analysis on, with its findings as errors.
function(qx_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(QX_THREAD_SAFETY)
    target_compile_options(${target} PRIVATE -Wthread-safety -Werror=thread-safety)
  endif()
endfunction()
