# The decoder of the fresh-process floor exits 0 only when every frame it was
# given decoded, and names each one that did not: a missing file, a file that
# is no image and an empty file (an export not yet begun) all fail it, wherever
# they stand in its list.
#   cmake -DDECODER=... -DLUMIVEX=... -DWORK=DIR -P decode_frames_check.cmake
file(REMOVE_RECURSE ${WORK})
execute_process(COMMAND ${LUMIVEX} synth stack --out ${WORK} --frames 2 --size 64x48 --depth 8
                RESULT_VARIABLE made OUTPUT_QUIET)
if(NOT made EQUAL 0)
  message(FATAL_ERROR "could not write the synthetic frames (${made})")
endif()
set(a ${WORK}/frame_000.tif)
set(b ${WORK}/frame_001.tif)
file(WRITE ${WORK}/empty.tif "")

function(expect code)
  execute_process(COMMAND ${DECODER} ${ARGN} RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc STREQUAL "${code}")
    message(FATAL_ERROR "decode_frames ${ARGN}: exit ${rc}, expected ${code}\n${err}")
  endif()
  set(stderr "${err}" PARENT_SCOPE)
endfunction()

expect(0 ${a} ${b})
expect(1 ${a} ${WORK}/missing.tif ${b})
if(NOT stderr MATCHES "missing\\.tif" OR stderr MATCHES "frame_00")
  message(FATAL_ERROR "the missing frame alone must be named:\n${stderr}")
endif()
expect(1 ${WORK}/stack_job.txt)
expect(1 ${a} ${WORK}/empty.tif)
expect(2)
