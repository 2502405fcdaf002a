# One place for the warning set, applied per target so third-party code is unaffected.
function(qx_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
endfunction()
