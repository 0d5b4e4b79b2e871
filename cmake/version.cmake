# TORVANE_VERSION, read from the exe's version record: the one place the
# packages, the image and torvane-run --version take it from.
file(READ ${CMAKE_SOURCE_DIR}/shell/torvane.rc _tv_rc)
string(REGEX MATCHALL "(FILEVERSION|PRODUCTVERSION|\"FileVersion\",|\"ProductVersion\",) *\"?[0-9]+, *[0-9]+, *[0-9]+, *[0-9]+"
  _tv_version_fields "${_tv_rc}")
list(LENGTH _tv_version_fields _tv_count)
if(NOT _tv_count EQUAL 4)
  message(FATAL_ERROR "shell/torvane.rc: expected FILEVERSION, PRODUCTVERSION, FileVersion and ProductVersion "
    "in the version record, found ${_tv_count} of them")
endif()
set(_tv_versions "")
foreach(_field IN LISTS _tv_version_fields)
  string(REGEX MATCH "([0-9]+), *([0-9]+), *([0-9]+), *([0-9]+)" _ "${_field}")
  list(APPEND _tv_versions "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${CMAKE_MATCH_3}.${CMAKE_MATCH_4}")
endforeach()
list(REMOVE_DUPLICATES _tv_versions)
list(LENGTH _tv_versions _tv_count)
if(NOT _tv_count EQUAL 1)
  message(FATAL_ERROR "shell/torvane.rc: the version record's numbers disagree (${_tv_versions}); "
    "FILEVERSION, PRODUCTVERSION, FileVersion and ProductVersion must name one version")
endif()
# 3.0.0.0 is named 3.0.0; a build number other than 0 stays: 3.0.0.7.
string(REGEX REPLACE "\\.0$" "" TORVANE_VERSION "${_tv_versions}")
