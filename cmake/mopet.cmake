# Helpers shared by every folder under src/.

# -Wmaybe-uninitialized is off: in optimised builds GCC 12 reports it for the
# engaged flag of std::optional inside std::expected, where no path reads it
# uninitialised (a known false positive); -Wrestrict likewise misfires on
# std::string operations at -O3.
set(MOPET_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
                   -Wcast-align -Woverloaded-virtual -Wimplicit-fallthrough)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  list(APPEND MOPET_WARNINGS -Wno-maybe-uninitialized -Wno-restrict)
endif()

# Warnings (and -Werror) for one of our own targets.
function(mopet_warnings target)
  target_compile_options(${target} PRIVATE ${MOPET_WARNINGS})
  if(MOPET_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# mopet_library(<name> SOURCES ... [DEPS ...])
# A static library named mopet_<name> with its folder's include root at src/.
function(mopet_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(mopet_${name} STATIC ${ARG_SOURCES})
  target_include_directories(mopet_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(mopet_${name} PUBLIC ${ARG_DEPS})
  mopet_warnings(mopet_${name})
endfunction()

# mopet_test(<name> SOURCES ... [DEPS ...])
# A GoogleTest executable registered with CTest; each TEST is its own CTest case.
function(mopet_test name)
  if(NOT MOPET_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(${name} PRIVATE
    MOPET_SOURCE_DIR="${PROJECT_SOURCE_DIR}" MOPET_BINARY_DIR="${PROJECT_BINARY_DIR}")
  mopet_warnings(${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  include(GoogleTest)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT ${ARG_TIMEOUT})
endfunction()
