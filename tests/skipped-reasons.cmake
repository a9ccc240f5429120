# Run by ctest after the tests (CTEST_CUSTOM_POST_TEST, see tests/CMakeLists.txt):
# names each skipped test with the reason it gave, which ctest itself shows
# only with -V.  Reads the log of the run, LOG: while ctest runs (after the
# tests, before it ends) its log is LOG.tmp.
#
#   cmake -DLOG=BUILD/Testing/Temporary/LastTest.log -P skipped-reasons.cmake
if(EXISTS "${LOG}.tmp")
  set(LOG "${LOG}.tmp")
elseif(NOT EXISTS "${LOG}")
  return()
endif()
file(STRINGS "${LOG}" lines)
set(test "")
set(reason "")
set(after_skipped OFF)
set(count 0)
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9]+/[0-9]+ Test: (.*)$")
    set(test "${CMAKE_MATCH_1}")
    set(reason "")
  elseif(after_skipped)
    # GoogleTest writes "FILE:LINE: Skipped" and the message on the next line.
    set(reason "${line}")
    set(after_skipped OFF)
  elseif(line MATCHES ": Skipped$")
    set(after_skipped ON)
  elseif(line MATCHES "^SKIPPED: (.*)$")
    set(reason "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^Skip regular expression found in output")
    if(count EQUAL 0)
      message("Skipped tests and their reasons:")
    endif()
    math(EXPR count "${count} + 1")
    if(reason STREQUAL "")
      set(reason "(no reason given)")
    endif()
    message("  ${test}: ${reason}")
  endif()
endforeach()
