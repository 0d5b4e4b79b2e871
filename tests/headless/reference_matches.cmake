# docs/torvane-run.md is torvane-run --reference as committed: the option
# table, the exit statuses and the event kinds cannot drift from the docs.
#   cmake -DTORVANE_RUN=... -DREFERENCE=... -P reference_matches.cmake
execute_process(COMMAND ${TORVANE_RUN} --reference OUTPUT_VARIABLE printed RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "torvane-run --reference exited with ${status}")
endif()
file(READ ${REFERENCE} committed)
if(NOT printed STREQUAL committed)
  message(FATAL_ERROR "${REFERENCE} is not what torvane-run --reference prints; "
    "make it anew with: torvane-run --reference > docs/torvane-run.md")
endif()
