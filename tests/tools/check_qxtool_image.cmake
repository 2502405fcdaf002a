# Run with cmake -P: qxtool's image commands on small raw dumps and tile-record files, as a user
# would run them. Raw files are written as text so that every expected byte is readable here.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

include(${CMAKE_CURRENT_LIST_DIR}/QxtoolCheck.cmake)
set(QXTOOL_JOB image)
# The tile cache's disk folder goes under WORK, where its removal can be checked.
set(QXTOOL_ENV TMPDIR=${WORK})

function(expect_file path content what)
  if(NOT EXISTS ${WORK}/${path})
    message(FATAL_ERROR "${what}: ${path} was not written")
  endif()
  file(READ ${WORK}/${path} actual)
  if(NOT actual STREQUAL content)
    message(FATAL_ERROR "${what}: ${path} holds '${actual}', expected '${content}'")
  endif()
endfunction()

# A 2 x 2 RGB image: rows ABC DEF / GHI JKL. A 4 x 2 grey image of one value.
file(WRITE ${WORK}/a-RGB2x2x8bit.raw "ABCDEFGHIJKL")
file(WRITE ${WORK}/flat-GRAY4x2x8bit.raw "AAAAAAAA")

qxtool(0 info a-RGB2x2x8bit.raw flat-GRAY4x2x8bit.raw)
expect_match("${out}" "a-RGB2x2x8bit.raw\n  size +2 x 2\n  depth +8-bit\n  planes +3\n  colour space +2 \\(RGB\\)" "info")
expect_match("${out}" "solid tiles +0" "info: a varied tile")
expect_match("${out}" "flat-GRAY4x2x8bit.raw\n  size +4 x 2.*solid tiles +1" "info: a flat tile")

# Rotations, through the tile-record format and back to raw.
qxtool(0 rotate cw a-RGB2x2x8bit.raw -o cw.raw)
expect_file(cw-RGB2x2x8bit.raw "GHIABCJKLDEF" "rotate cw")
qxtool(0 rotate 180 a-RGB2x2x8bit.raw -o half.qxtiles)
expect_match("${out}" "rotate 180 2x2 -> 2x2 in [0-9.]+ m?s" "rotate prints its time")
qxtool(0 rotate 180 half.qxtiles -o back.raw)
expect_file(back-RGB2x2x8bit.raw "ABCDEFGHIJKL" "two half turns")
qxtool(0 info half.qxtiles)
expect_match("${out}" "size +2 x 2" "info of a tile-record file")

qxtool(0 crop 1,0,1,2 a-RGB2x2x8bit.raw -o crop.raw)
expect_file(crop-RGB1x2x8bit.raw "DEFJKL" "crop")
qxtool(0 convert-depth 16 a-RGB2x2x8bit.raw -o deep.raw)
expect_file(deep-RGB2x2x16bit.raw "AABBCCDDEEFFGGHHIIJJKKLL" "8 to 16 bits")

# An even image scales and halves to itself.
qxtool(0 scale --size 8x4 flat-GRAY4x2x8bit.raw -o big.raw)
expect_match("${out}" "scale  4x2 -> 8x4 \\(interpolating\\) in" "scale prints its time")
expect_file(big-GRAY8x4x8bit.raw "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA" "scale up")
qxtool(0 scale --factor 0.5 flat-GRAY4x2x8bit.raw -o small.raw)
expect_file(small-GRAY2x1x8bit.raw "AA" "scale by a factor")
qxtool(0 mips flat-GRAY4x2x8bit.raw -o m.raw)
expect_match("${out}" "mips   4x2: 3 levels down to 1x1 in" "mips")
expect_file(m-mip1-GRAY2x1x8bit.raw "AA" "mip 1")
expect_file(m-mip2-GRAY1x1x8bit.raw "A" "mip 2")
qxtool(0 canvas --bounds 0,0,3,2 --mode 2 a-RGB2x2x8bit.raw -o wide.raw)
if(NOT EXISTS ${WORK}/wide-RGB3x2x8bit.raw)
  message(FATAL_ERROR "canvas: wide-RGB3x2x8bit.raw was not written")
endif()

# Raw inputs whose size or name does not fit; files that are not images; bad usage.
qxtool(1 info --planes 4 a-RGB2x2x8bit.raw)
expect_match("${err}" "holds 12 bytes, but 2 x 2 x 4 planes at 8 bits need 16" "a raw file of the wrong size")
file(WRITE ${WORK}/plain-2x2x8bit.raw "ABCD")
qxtool(1 info plain-2x2x8bit.raw)
expect_match("${err}" "--planes" "a raw name without a colour")
qxtool(0 info --planes 1 plain-2x2x8bit.raw)
file(WRITE ${WORK}/junk.qxtiles "not an image")
qxtool(1 info junk.qxtiles)
expect_match("${err}" "junk.qxtiles: not a readable tile-record file" "a file that is not an image")
qxtool(1 info missing.qxtiles)
expect_match("${err}" "No such file" "a missing file")
qxtool(2 rotate sideways a-RGB2x2x8bit.raw -o x.raw)
qxtool(2 crop 1,2,3 a-RGB2x2x8bit.raw -o x.raw)
qxtool(2 scale a-RGB2x2x8bit.raw -o x.raw)
qxtool(2 rotate cw a-RGB2x2x8bit.raw)
qxtool(2 bogus)
qxtool(0 help)
expect_match("${out}" "usage: qxtool image COMMAND" "help")

# A save that fails only when its last buffer is flushed (a 1,000-byte file-size limit, SIGXFSZ
# ignored, for a file of about 1,800 bytes) is an error, and the file already at OUT stays whole.
string(RANDOM LENGTH 768 RANDOM_SEED 7 noise)
file(WRITE ${WORK}/noise-RGB16x16x8bit.raw "${noise}")
qxtool(0 convert-depth 16 flat-GRAY4x2x8bit.raw -o kept.qxtiles)
file(SHA256 ${WORK}/kept.qxtiles before)
execute_process(COMMAND sh -c "trap '' XFSZ; export TMPDIR=\"$0\"; exec prlimit --fsize=1000 \"$@\"" ${WORK}
    ${QXTOOL} image convert-depth 16 noise-RGB16x16x8bit.raw -o kept.qxtiles
  WORKING_DIRECTORY ${WORK} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 1)
  message(FATAL_ERROR "a save beyond the file-size limit: exit ${rc}, expected 1\n${out}\n${err}")
endif()
expect_match("${err}" "kept.qxtiles: cannot write" "a failed save")
file(SHA256 ${WORK}/kept.qxtiles after)
if(NOT before STREQUAL after)
  message(FATAL_ERROR "a failed save replaced kept.qxtiles")
endif()

# Image files: PNG and TIFF at 8 and 16 bits, grey and RGB, with and without alpha, made by
# make_image_files.py with the pixels they must import to. Each imports to exactly those pixels, and
# so does its export imported again.
find_program(PYTHON python3 REQUIRED)
set(PROFILE /usr/share/color/icc/colord/sRGB.icc)
execute_process(COMMAND ${PYTHON} ${CMAKE_CURRENT_LIST_DIR}/make_image_files.py ${WORK} ${PROFILE}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "make_image_files.py failed")
endif()

function(expect_pixels raw_stem expected what)
  file(GLOB raw ${WORK}/${raw_stem}-*bit.raw)
  if(NOT raw)
    message(FATAL_ERROR "${what}: no ${raw_stem}-*bit.raw written")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${raw} ${WORK}/${expected} RESULT_VARIABLE differ)
  if(differ)
    message(FATAL_ERROR "${what}: ${raw} differs from ${expected}")
  endif()
endfunction()

foreach(case g8.png ga16.png rgb8.png rgba16.png g16.tif rgb16.tif rgba8.tif ga8.tif)
  string(REGEX REPLACE "\\..*" "" name ${case})
  string(REGEX REPLACE ".*\\." "" suffix ${case})
  qxtool(0 import ${case} ${name}-in.raw)
  expect_pixels(${name}-in ${name}.expected "import ${case}")
  qxtool(0 import ${case} ${name}.qxtiles)
  qxtool(0 export ${name}.qxtiles ${name}-out.${suffix})
  qxtool(0 import ${name}-out.${suffix} ${name}-back.raw)
  expect_pixels(${name}-back ${name}.expected "${case} exported and imported again")
endforeach()
# libvips reads "[...]" after a name as options; names are taken as they are.
file(COPY_FILE ${WORK}/g8.png "${WORK}/g8[1]")
qxtool(0 import "g8[1]" "g8[1].qxtiles")
qxtool(0 export "g8[1].qxtiles" "g8[2].png")
if(NOT EXISTS "${WORK}/g8[2].png")
  message(FATAL_ERROR "export to a name with brackets")
endif()
qxtool(0 info ga16.qxtiles rgba8.qxtiles)
expect_match("${out}" "ga16.qxtiles\n  size +20 x 300\n  depth +16-bit\n  planes +2\n  colour space +1 \\(grey\\), transparency 1"
  "a grey image with alpha")
expect_match("${out}" "rgba8.qxtiles\n.*planes +4\n  colour space +2 \\(RGB\\), transparency 1" "an RGB image with alpha")

# JPEG: lossy, so only the geometry and the quality option are checked here.
qxtool(0 export --quality 95 rgb8.qxtiles photo.jpg)
qxtool(0 import photo.jpg photo.qxtiles)
qxtool(0 info photo.qxtiles)
expect_match("${out}" "size +300 x 17\n  depth +8-bit\n  planes +3" "a JPEG round trip")
qxtool(0 import clear.png clear.qxtiles)
qxtool(0 export clear.qxtiles clear.jpg)
qxtool(0 import clear.jpg clear.raw)
expect_pixels(clear clear.expected "a transparent image in JPEG is flattened over white")
qxtool(2 export --quality 0 rgb8.qxtiles photo.jpg)
qxtool(2 export rgb8.qxtiles photo.bmp)

# The embedded profile: its model is the colour space, its bytes go to OUT.icc and back into the
# export. A profile that does not describe the pixels is not kept, and no stale OUT.icc stays.
qxtool(0 import icc.png icc.qxtiles)
expect_match("${out}" "colour space RGB \\(from its ICC profile\\)" "import of a file with a profile")
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK}/icc.qxtiles.icc ${PROFILE} RESULT_VARIABLE differ)
if(differ)
  message(FATAL_ERROR "icc.qxtiles.icc is not the embedded profile")
endif()
qxtool(0 export icc.qxtiles icc-out.tif)
expect_match("${out}" "ICC profile embedded" "export with the profile beside its input")
qxtool(0 import icc-out.tif icc-back.qxtiles)
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK}/icc-back.qxtiles.icc ${PROFILE} RESULT_VARIABLE differ)
if(differ)
  message(FATAL_ERROR "the exported file does not carry the profile")
endif()
qxtool(0 import icc-gray.tif icc.qxtiles)
expect_match("${err}" "does not describe its pixels" "an RGB profile in a grey file")
if(EXISTS ${WORK}/icc.qxtiles.icc)
  message(FATAL_ERROR "a stale icc.qxtiles.icc was left beside a new import without a profile")
endif()
file(WRITE ${WORK}/rgb8.qxtiles.icc "not a profile")
qxtool(1 export rgb8.qxtiles bad-profile.png)
expect_match("${err}" "not a gray, RGB or CMYK profile" "a broken profile beside the input")
file(REMOVE ${WORK}/rgb8.qxtiles.icc)

# Damaged and hostile files fail with a message and leave nothing at OUT.
file(WRITE ${WORK}/other.pgm "P2\n2 2\n255\n1 2 3 4\n")
foreach(bad truncated.png truncated.tif huge.png huge.tif junk.qxtiles missing.png other.pgm)
  qxtool(1 import ${bad} bad.qxtiles)
  if(EXISTS ${WORK}/bad.qxtiles OR EXISTS ${WORK}/bad.qxtiles.icc)
    message(FATAL_ERROR "import of ${bad} left bad.qxtiles behind")
  endif()
endforeach()
# An export that runs out of room (a 2,000-byte file-size limit) fails and keeps the old OUT.
file(SHA256 ${WORK}/rgb16-out.tif before)
execute_process(COMMAND sh -c "trap '' XFSZ; export TMPDIR=\"$0\"; exec prlimit --fsize=2000 \"$@\"" ${WORK}
    ${QXTOOL} image export rgb16.qxtiles rgb16-out.tif
  WORKING_DIRECTORY ${WORK} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(SHA256 ${WORK}/rgb16-out.tif after)
if(NOT rc EQUAL 1 OR NOT before STREQUAL after)
  message(FATAL_ERROR "an export beyond the file-size limit: exit ${rc}, expected 1, OUT kept\n${err}")
endif()
qxtool(1 import huge.tif bad.qxtiles)
expect_match("${err}" "1000000 x 1000000 pixels is more than import takes" "a file claiming 10^12 pixels")
qxtool(1 import other.pgm bad.qxtiles)
expect_match("${err}" "not a PNG, TIFF or JPEG file" "a format libvips reads but import does not offer")

# Nothing half-written is left behind, and the cache folder is gone.
file(GLOB leftovers ${WORK}/*.partial-* ${WORK}/QXImageCache-*)
if(leftovers)
  message(FATAL_ERROR "left behind: ${leftovers}")
endif()
