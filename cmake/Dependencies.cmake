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

# toml++ for the method's metadata file (header-only, Debian's
# libtomlplusplus-dev), linked in like the others.
find_path(ASSAY_TOMLPLUSPLUS_INCLUDE toml++/toml.h PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH)
if(NOT ASSAY_TOMLPLUSPLUS_INCLUDE)
  message(FATAL_ERROR "toml++ not found: apt-get install libtomlplusplus-dev")
endif()
file(CREATE_LINK ${ASSAY_TOMLPLUSPLUS_INCLUDE}/toml++ ${ASSAY_HOST_HEADERS}/toml++ SYMBOLIC)

add_library(assay_tomlplusplus INTERFACE)
target_include_directories(assay_tomlplusplus SYSTEM INTERFACE ${ASSAY_HOST_HEADERS})

# pugixml for the XML spectrum formats: Debian's libpugixml-dev natively. A
# cross build has no package of it; there ASSAY_PUGIXML_SOURCE names an
# unpacked pugixml source tree (scripts/windows.sh fetches Debian's with
# apt-get source) whose single pugixml.cpp is compiled into the build.
set(ASSAY_PUGIXML_SOURCE "" CACHE PATH "pugixml source tree to compile instead of the installed library")
if(ASSAY_PUGIXML_SOURCE)
  if(NOT EXISTS ${ASSAY_PUGIXML_SOURCE}/src/pugixml.cpp)
    message(FATAL_ERROR "ASSAY_PUGIXML_SOURCE: no src/pugixml.cpp in ${ASSAY_PUGIXML_SOURCE}")
  endif()
  add_library(assay_pugixml STATIC ${ASSAY_PUGIXML_SOURCE}/src/pugixml.cpp)
  target_include_directories(assay_pugixml SYSTEM PUBLIC ${ASSAY_PUGIXML_SOURCE}/src)
else()
  find_package(pugixml CONFIG QUIET)
  if(NOT TARGET pugixml::pugixml)
    message(FATAL_ERROR "pugixml not found: apt-get install libpugixml-dev "
                        "(or -DASSAY_PUGIXML_SOURCE=<its source tree>)")
  endif()
  add_library(assay_pugixml INTERFACE)
  target_link_libraries(assay_pugixml INTERFACE pugixml::pugixml)
endif()

# SQLite for the results database: Debian's libsqlite3-dev natively. A cross
# build compiles the amalgamation ASSAY_SQLITE_SOURCE names (a folder with
# sqlite3.c and sqlite3.h; scripts/windows.sh makes it from Debian's source).
set(ASSAY_SQLITE_SOURCE "" CACHE PATH "SQLite amalgamation folder to compile instead of the installed library")
if(ASSAY_SQLITE_SOURCE)
  if(NOT EXISTS ${ASSAY_SQLITE_SOURCE}/sqlite3.c)
    message(FATAL_ERROR "ASSAY_SQLITE_SOURCE: no sqlite3.c in ${ASSAY_SQLITE_SOURCE}")
  endif()
  enable_language(C)
  add_library(assay_sqlite STATIC ${ASSAY_SQLITE_SOURCE}/sqlite3.c)
  target_include_directories(assay_sqlite SYSTEM PUBLIC ${ASSAY_SQLITE_SOURCE})
  target_compile_definitions(assay_sqlite PRIVATE SQLITE_THREADSAFE=1 SQLITE_OMIT_LOAD_EXTENSION SQLITE_MAX_MMAP_SIZE=0)
else()
  find_package(SQLite3 QUIET)
  if(NOT TARGET SQLite::SQLite3)
    message(FATAL_ERROR "SQLite not found: apt-get install libsqlite3-dev "
                        "(or -DASSAY_SQLITE_SOURCE=<its amalgamation folder>)")
  endif()
  add_library(assay_sqlite INTERFACE)
  target_link_libraries(assay_sqlite INTERFACE SQLite::SQLite3)
endif()
