# Header-only libraries from Debian packages, for the native and the MinGW
# build alike. The cross build searches only its own root for headers, and
# adding /usr/include to a MinGW compile would put glibc's headers before
# MinGW's; so each library's folder is found natively and linked, alone, into
# a build-tree folder that targets take as a system include directory by
# linking torvane_third_party.
set(TORVANE_THIRD_PARTY_INCLUDE ${CMAKE_BINARY_DIR}/third-party)
file(MAKE_DIRECTORY ${TORVANE_THIRD_PARTY_INCLUDE})
add_library(torvane_third_party INTERFACE)
target_include_directories(torvane_third_party SYSTEM INTERFACE ${TORVANE_THIRD_PARTY_INCLUDE})

# Links /usr/include/<folder> into the build tree's folder; <header> is a file
# in it that proves the library is there.
function(torvane_header_library folder header debian_package)
  find_path(TORVANE_${folder}_ROOT ${folder}/${header} PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH)
  if(NOT TORVANE_${folder}_ROOT)
    message(FATAL_ERROR "${folder}/${header} not found: install the Debian package ${debian_package} "
                        "(apt-get install ${debian_package}, or tools/setup.sh)")
  endif()
  file(CREATE_LINK ${TORVANE_${folder}_ROOT}/${folder} ${TORVANE_THIRD_PARTY_INCLUDE}/${folder} SYMBOLIC)
endfunction()

torvane_header_library(CLI CLI.hpp libcli11-dev)
torvane_header_library(nlohmann json.hpp nlohmann-json3-dev)
torvane_header_library(boost beast.hpp libboost-dev)
