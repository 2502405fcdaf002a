# One place for the warning set, applied per target so third-party code is unaffected.
# QX_THREAD_SAFETY (clang only) turns clang's lock analysis on, with its findings as errors.
function(qx_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  # GCC 12 at -O2 and above reports "literal" + std::string&& as an overlapping memcpy inside
  # libstdc++ (GCC bug 105329): noise on correct code, in a release build of every target.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-Wno-restrict>)
  endif()
  if(QX_THREAD_SAFETY)
    target_compile_options(${target} PRIVATE -Wthread-safety -Werror=thread-safety)
  endif()
endfunction()
