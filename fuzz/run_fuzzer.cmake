# Runs one libFuzzer executable for a fixed time on a scratch copy of its seed
# corpus. Called by CTest with -DFUZZER= -DSEEDS= -DCORPUS= -DARTIFACTS= -DSECONDS=,
# and optionally -DMAX_LEN= (the largest input in bytes).

foreach(var FUZZER SEEDS CORPUS ARTIFACTS SECONDS)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "run_fuzzer.cmake needs -D${var}=")
  endif()
endforeach()

# Start each run from the seeds alone so that results do not depend on what
# earlier runs added.
file(REMOVE_RECURSE "${CORPUS}")
file(MAKE_DIRECTORY "${CORPUS}" "${ARTIFACTS}")
file(GLOB seeds "${SEEDS}/*")
if(NOT seeds)
  message(FATAL_ERROR "no seed files in ${SEEDS}")
endif()
file(COPY ${seeds} DESTINATION "${CORPUS}")

# AVI inputs need room for what only large files reach (deeply nested lists,
# long indexes); the bitmap and FITS readers are covered by small inputs, and
# a small limit keeps their runs fast.
get_filename_component(fuzzer_name "${FUZZER}" NAME)
if(NOT DEFINED MAX_LEN)
  if(fuzzer_name MATCHES "avi")
    set(MAX_LEN 4194304)
  else()
    set(MAX_LEN 65536)
  endif()
endif()
# A compressed video frame of a few bytes may decode to the largest picture
# the reader accepts (2^27 pixels, 1.5 GiB as float colour), which the
# decoder's own buffers and the sanitizer's bookkeeping come on top of.
if(fuzzer_name MATCHES "avi")
  set(RSS_LIMIT_MB 4096)
else()
  set(RSS_LIMIT_MB 2048)
endif()

execute_process(
  COMMAND "${FUZZER}"
    -max_total_time=${SECONDS}
    -max_len=${MAX_LEN}
    -rss_limit_mb=${RSS_LIMIT_MB}
    -timeout=10
    -print_final_stats=1
    "-artifact_prefix=${ARTIFACTS}/"
    "${CORPUS}"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed (${result}); crashing inputs are in ${ARTIFACTS}")
endif()
