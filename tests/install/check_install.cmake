# Run with cmake -P: install, then build and run a consumer both ways.
file(REMOVE_RECURSE ${QX_WORK_DIR})
set(prefix ${QX_WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${QX_BUILD_DIR} --prefix ${prefix})

# Sanitized builds need the consumer linked with the same runtime.
file(STRINGS ${QX_BUILD_DIR}/CMakeCache.txt sanitize REGEX "^QX_SANITIZE:")
string(REGEX REPLACE "^QX_SANITIZE:[A-Z]+=" "" sanitize "${sanitize}")
set(san_flags "")
if(sanitize STREQUAL "asan")
  set(san_flags "-fsanitize=address,undefined")
elseif(sanitize STREQUAL "tsan")
  set(san_flags "-fsanitize=thread")
endif()

# 1. find_package(QXCore)
run(${CMAKE_COMMAND} -S ${QX_CONSUMER_DIR} -B ${QX_WORK_DIR}/cmake-build -G Ninja
    -DCMAKE_PREFIX_PATH=${prefix} "-DCMAKE_C_FLAGS=${san_flags}" "-DCMAKE_EXE_LINKER_FLAGS=${san_flags}")
run(${CMAKE_COMMAND} --build ${QX_WORK_DIR}/cmake-build)
run(${QX_WORK_DIR}/cmake-build/qx_consumer)
if(NOT last_output MATCHES "consumer ok: version [0-9]+\\.[0-9]+\\.[0-9]+, 3 keys")
  message(FATAL_ERROR "unexpected consumer output: ${last_output}")
endif()

# 2. pkg-config
find_program(PKG_CONFIG pkg-config REQUIRED)
find_program(CC NAMES cc gcc clang REQUIRED)
file(GLOB_RECURSE pc_dirs LIST_DIRECTORIES true ${prefix}/*/pkgconfig)
list(FILTER pc_dirs INCLUDE REGEX "pkgconfig$")
list(JOIN pc_dirs ":" pc_path)
set(ENV{PKG_CONFIG_PATH} "${pc_path}")
run(${PKG_CONFIG} --cflags --libs qxcore)
string(STRIP "${last_output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
separate_arguments(san UNIX_COMMAND "${san_flags}")
run(${CC} -std=c11 ${san} ${QX_CONSUMER_DIR}/main.c -o ${QX_WORK_DIR}/qx_consumer_pc ${flags})
run(${CMAKE_COMMAND} -E env "LD_LIBRARY_PATH=${prefix}/lib:${prefix}/lib64:${prefix}/lib/x86_64-linux-gnu"
    ${QX_WORK_DIR}/qx_consumer_pc)
if(NOT last_output MATCHES "consumer ok")
  message(FATAL_ERROR "unexpected pkg-config consumer output: ${last_output}")
endif()
# 3. The README's example program, so the documentation cannot drift from the library.
file(READ ${QX_CONSUMER_DIR}/../../../README.md readme)
string(REGEX MATCH "```c\n([^`]*)```" block "${readme}")
if(NOT CMAKE_MATCH_1)
  message(FATAL_ERROR "README.md has no C example")
endif()
file(WRITE ${QX_WORK_DIR}/readme_example.c "${CMAKE_MATCH_1}")
run(${CC} -std=c11 -Wall -Wextra -Werror ${san} ${QX_WORK_DIR}/readme_example.c -o ${QX_WORK_DIR}/readme_example ${flags})
run(${CMAKE_COMMAND} -E env "LD_LIBRARY_PATH=${prefix}/lib:${prefix}/lib64:${prefix}/lib/x86_64-linux-gnu"
    ${QX_WORK_DIR}/readme_example)
if(NOT last_output MATCHES "<key>Exposure</key>\n\t<integer>35</integer>")
  message(FATAL_ERROR "unexpected output of the README example: ${last_output}")
endif()
message(STATUS "install consumer: find_package, pkg-config and README example builds ran")
