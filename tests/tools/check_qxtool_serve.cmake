# Run with cmake -P: qxtool serve and qxtool send as two processes talking over loopback, with a
# home folder of their own so that ServerData.plist lands under WORK. Every process is bounded:
# serve by --seconds, send by --wait and its socket time-outs, the whole run by TIMEOUT.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/home ${WORK}/data)
set(env ${CMAKE_COMMAND} -E env HOME=${WORK}/home XDG_DATA_HOME=${WORK}/data)

include(${CMAKE_CURRENT_LIST_DIR}/QxtoolCheck.cmake)

execute_process(COMMAND ${env} ${QXTOOL} send hello RESULT_VARIABLE rc ERROR_VARIABLE err)
expect_match("${rc}:${err}" "^1:.*ServerData.plist does not exist" "send without a server")

# The server stops on its own after 4 seconds (the second on SIGTERM) and must take its
# ServerData.plist with it.
set(script [=[
q=$1 data=$2
appear() { i=0; while [ ! -e "$1" ] && [ $i -lt 150 ]; do sleep 0.1; i=$((i+1)); done; }
f="$data/Orvex Software/qxtool/ServerData.plist"
"$q" serve --seconds 4 >"$data/serve.out" 2>&1 & s=$!
appear "$f"
timeout 20 "$q" send hello greeting=hi --wait 2; echo "send exit $?"
wait $s; echo "serve exit $?"
[ -e "$f" ] && echo "serve left $f"
g="$data/Orvex Software/com.example.other/ServerData.plist"
"$q" serve --product com.example.other --seconds 30 >/dev/null 2>&1 & s=$!
appear "$g"
kill -TERM $s; wait $s; echo "terminated serve exit $?"
[ -e "$g" ] && echo "serve left $g"
]=])
execute_process(COMMAND ${env} sh -c "${script}" sh ${QXTOOL} ${WORK}/data TIMEOUT 90
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(READ ${WORK}/data/serve.out served)
set(all "${out}\n${err}\nserve said:\n${served}")
expect_match("${out}" "answer: result 0\n  greeting = hi\n  msg_name = hello\n" "the request echoed")
expect_match("${out}" "message tick\n  count = [1-9]" "a broadcast received")
expect_match("${out}" "send exit 0\nserve exit 0\nterminated serve exit 0\n$" "${all}")
expect_match("${served}" "listening on 127.0.0.1:[1-9].*echoed 'hello'" "serve's report")
message(STATUS "qxtool serve and send checked")
