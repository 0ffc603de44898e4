# Libraries from Debian packages. The header-only ones (CLI11 for the command
# line, Boost.Math for the normal quantile and the chi-square distribution) are found under the host's /usr/include; that folder cannot go on the
# include path whole (in a cross build its C library headers are the wrong
# ones, and even natively -isystem /usr/include upsets libstdc++), so the
# build tree gets a folder of links to just these headers.
find_path(ASSAY_CLI11_INCLUDE CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH)
if(NOT ASSAY_CLI11_INCLUDE)
  message(FATAL_ERROR "CLI11 not found: apt-get install libcli11-dev")
endif()
set(ASSAY_HOST_HEADERS ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${ASSAY_HOST_HEADERS})
file(CREATE_LINK ${ASSAY_CLI11_INCLUDE}/CLI ${ASSAY_HOST_HEADERS}/CLI SYMBOLIC)

add_library(assay_cli11 INTERFACE)
target_include_directories(assay_cli11 SYSTEM INTERFACE ${ASSAY_HOST_HEADERS})

find_path(ASSAY_BOOST_INCLUDE boost/math/distributions/chi_squared.hpp PATHS /usr/include
          NO_CMAKE_FIND_ROOT_PATH)
if(NOT ASSAY_BOOST_INCLUDE)
  message(FATAL_ERROR "Boost.Math not found: apt-get install libboost-math-dev")
endif()
file(CREATE_LINK ${ASSAY_BOOST_INCLUDE}/boost ${ASSAY_HOST_HEADERS}/boost SYMBOLIC)

add_library(assay_boost_math INTERFACE)
target_include_directories(assay_boost_math SYSTEM INTERFACE ${ASSAY_HOST_HEADERS})
