# Install rules and CPack archives. Windows: a flat folder, as a zip is
# unpacked and used in place. Linux: the usual bin/ and share/ layout, so that
# `cmake --install` and the tarball (unpacked into /usr/local or anywhere) agree.

# TORVANE_VERSION comes from cmake/version.cmake.
option(TORVANE_STATIC_RUN "Link torvane-run fully static (no interpreter, no shared libraries)" OFF)

if(WIN32)
  set(_tv_bin .)
  set(_tv_examples examples)
  set(_tv_docs docs)
  set(_tv_top .)
  set(_tv_license LICENSE.txt)
else()
  include(GNUInstallDirs)
  set(_tv_bin ${CMAKE_INSTALL_BINDIR})
  set(_tv_examples ${CMAKE_INSTALL_DATADIR}/torvane/examples)
  set(_tv_docs ${CMAKE_INSTALL_DOCDIR})
  set(_tv_top ${CMAKE_INSTALL_DOCDIR})
  set(_tv_license LICENSE)
endif()

if(TARGET torvane-run)
  if(TORVANE_STATIC_RUN AND NOT WIN32)
    # glibc linked in whole: the binary runs in an empty root and on any
    # distribution. -s as for the Windows programs: symbols are not shipped.
    target_link_options(torvane-run PRIVATE -static -s)
  endif()
  install(TARGETS torvane-run RUNTIME DESTINATION ${_tv_bin})
endif()
if(TARGET torvane)
  install(TARGETS torvane RUNTIME DESTINATION ${_tv_bin})
endif()

install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/ DESTINATION ${_tv_examples})
install(FILES ${CMAKE_SOURCE_DIR}/docs/script-format.md ${CMAKE_SOURCE_DIR}/docs/torvane-run.md
  DESTINATION ${_tv_docs})
install(FILES ${CMAKE_SOURCE_DIR}/docs/package-readme.txt DESTINATION ${_tv_top} RENAME README.txt)
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION ${_tv_top} RENAME ${_tv_license})

set(CPACK_PACKAGE_NAME torvane)
set(CPACK_PACKAGE_VENDOR "The Torvane developers")
set(CPACK_PACKAGE_VERSION ${TORVANE_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Puts a controllable memory load on a machine")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(_tv_system win64)
else()
  set(CPACK_GENERATOR TGZ)
  string(TOLOWER "linux-${CMAKE_SYSTEM_PROCESSOR}" _tv_system)
  # Only the static build is the tarball users get; a native one says so.
  if(NOT TORVANE_STATIC_RUN)
    string(APPEND _tv_system -dynamic)
  endif()
endif()
set(CPACK_PACKAGE_FILE_NAME torvane-${TORVANE_VERSION}-${_tv_system})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
