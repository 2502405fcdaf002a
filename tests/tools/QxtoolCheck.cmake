# Shared by the qxtool checks, which run with cmake -P: starting the tool and matching its output.
# A check sets QXTOOL_JOB to the subcommand its calls share (may be empty) and QXTOOL_ENV to
# NAME=VALUE settings for the tool's environment (may be empty) before its first call.

# qxtool(expected_rc args...): runs qxtool in WORK and fails unless it exits with expected_rc;
# sets out and err in the caller's scope.
function(qxtool expect_rc)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env ${QXTOOL_ENV} ${QXTOOL} ${QXTOOL_JOB} ${ARGN}
    WORKING_DIRECTORY ${WORK} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL expect_rc)
    message(FATAL_ERROR "qxtool ${QXTOOL_JOB} ${ARGN}: exit ${rc}, expected ${expect_rc}\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

function(expect_match text regex what)
  if(NOT text MATCHES "${regex}")
    message(FATAL_ERROR "${what}: '${text}' does not match '${regex}'")
  endif()
endfunction()
