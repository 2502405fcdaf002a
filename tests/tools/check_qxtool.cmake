# Run with cmake -P: qxtool's plist job on the bundled samples and its image job on a small image,
# as a user would run them.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

include(${CMAKE_CURRENT_LIST_DIR}/QxtoolCheck.cmake)

qxtool(0 plist lint ${SAMPLES}/preset.plist)
expect_match("${out}" "preset.plist: OK" "lint of a good file")

# A bad file: exit 1, the reader's message with its line, and the good file still reported.
qxtool(1 plist lint ${SAMPLES}/preset.plist ${SAMPLES}/broken.plist)
expect_match("${err}" "broken.plist: .*line 8" "lint of a bad file")
expect_match("${out}" "preset.plist: OK" "lint goes on after a bad file")

qxtool(1 plist lint ${WORK}/does-not-exist.plist)
expect_match("${err}" "No such file" "lint of a missing file")

qxtool(0 plist print ${SAMPLES}/preset.plist)
expect_match("${out}" "Warm Évening ☀︎ & Film" "print shows decoded text")
expect_match("${out}" "FileSize = 8589934592" "print shows 64-bit integers")

# Canonical form: keys sorted, tab indentation, and converting it again changes nothing.
qxtool(0 plist convert ${SAMPLES}/preset.plist -o ${WORK}/a.plist)
file(READ ${WORK}/a.plist canonical)
expect_match("${canonical}" "^<\\?xml version=\"1.0\" encoding=\"UTF-8\"\\?>\n<!DOCTYPE plist" "header")
expect_match("${canonical}" "<dict>\n\t<key>Adjustments</key>\n\t<dict>\n\t\t<key>Clarity</key>" "sorted keys")
expect_match("${canonical}" "<key>Empty</key>\n\t<dict/>" "empty dictionary")
expect_match("${canonical}" "<string>Use &lt;b&gt;sparingly&lt;/b&gt; on skin tones.</string>" "CDATA re-escaped")
qxtool(0 plist convert ${WORK}/a.plist -o ${WORK}/b.plist)
file(READ ${WORK}/b.plist again)
if(NOT canonical STREQUAL again)
  message(FATAL_ERROR "convert is not idempotent")
endif()

# In place: rewritten atomically; a bad file is left exactly as it was.
file(COPY ${SAMPLES}/preset.plist ${SAMPLES}/broken.plist DESTINATION ${WORK}/inplace)
qxtool(0 plist convert --in-place ${WORK}/inplace/preset.plist)
file(READ ${WORK}/inplace/preset.plist rewritten)
if(NOT rewritten STREQUAL canonical)
  message(FATAL_ERROR "--in-place differs from -o")
endif()
qxtool(1 plist convert --in-place ${WORK}/inplace/broken.plist)
file(READ ${SAMPLES}/broken.plist original)
file(READ ${WORK}/inplace/broken.plist kept)
if(NOT original STREQUAL kept)
  message(FATAL_ERROR "a failed conversion changed the file")
endif()
file(GLOB leftovers ${WORK}/inplace/*.qxtool-*)
if(leftovers)
  message(FATAL_ERROR "temporary files left behind: ${leftovers}")
endif()

qxtool(2 plist)
qxtool(2 frobnicate)

# The image job: 4 x 3 tiles, edge tiles partial, through a budget of two tiles, so that tiles
# spill to the disk cache and come back; the cache folder and the saved file are gone afterwards.
qxtool(0 image-demo --size 1000x700 --budget 1 --dir ${WORK}/image)
expect_match("${out}" "every pixel verified after the spill and after the reload: OK" "image-demo verified")
expect_match("${out}"
  "total: tiles purged [1-9][0-9]*, written to the disk cache [1-9][0-9]* \\([0-9.]+ MiB\\), reloaded [1-9]"
  "tiles spilled and came back")
expect_match("${out}" "store failures 0" "no store failures")
expect_match("${out}" "saved file +[0-9.]+ MiB" "the saved file's size")
file(GLOB leftovers ${WORK}/image/*)
list(FILTER leftovers EXCLUDE REGEX "/QXTempCacheFile.txt$")  # the cache's marker stays by design
if(leftovers)
  message(FATAL_ERROR "image-demo left files behind: ${leftovers}")
endif()
qxtool(2 image-demo --size 0x700)
qxtool(2 image-demo --budget 0)
qxtool(2 image-demo --frobnicate)
message(STATUS "qxtool jobs checked")
