# The shipped sample archive is what make_sample writes today.
# Usage: cmake -DMAKE_SAMPLE=program -DSAMPLE=shipped -DOUT=fresh -P check_sample.cmake
execute_process(COMMAND ${MAKE_SAMPLE} ${OUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "make_sample failed: ${status}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${SAMPLE} ${OUT} RESULT_VARIABLE differs)
if(differs)
  message(FATAL_ERROR "${SAMPLE} is not what make_sample writes now: run make_sample ${SAMPLE}")
endif()
