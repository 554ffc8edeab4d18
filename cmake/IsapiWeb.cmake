# Helpers shared by every target of the project.

if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  set(ISAPI_WEB_PLATFORM windows)
else()
  set(ISAPI_WEB_PLATFORM posix)
endif()

# Warnings are errors everywhere; debug info uses paths relative to the source tree so that
# ccache hits across clones in different folders.
function(iw_target_options target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror
    -fdebug-prefix-map=${PROJECT_SOURCE_DIR}=.)
  if(ISAPI_WEB_PLATFORM STREQUAL "windows")
    # Self-contained PE images: no libstdc++, libgcc or winpthread DLL beside them.
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
  endif()
endfunction()

# iw_library(NAME SOURCES... [DEPENDS lib...])
# One static library per src/ folder, aliased isapi_web::NAME, included as "NAME/file.h".
function(iw_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  add_library(isapi_web::${name} ALIAS ${name})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/src>
    $<INSTALL_INTERFACE:include/isapi_web>)
  if(ARG_DEPENDS)
    target_link_libraries(${name} PUBLIC ${ARG_DEPENDS})
  endif()
  set_target_properties(${name} PROPERTIES OUTPUT_NAME isapi_web_${name})
  iw_target_options(${name})
endfunction()

# 32-bit Windows test programs run under Wine, which on machines without 32-bit kernel support runs
# under qemu and costs about a minute per process start. There every suite is linked into one
# program, win32_tests, started once; the suite's own name stays a build target that builds it.
if(ISAPI_WEB_PLATFORM STREQUAL "windows" AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(ISAPI_WEB_AGGREGATE_TESTS ON)
else()
  set(ISAPI_WEB_AGGREGATE_TESTS OFF)
endif()

# iw_test(NAME SOURCES... [DEPENDS lib...] [LABELS label...])
# A GoogleTest executable. Natively every test case is its own ctest test; under Wine the whole
# binary is one ctest test, since starting Wine per case would cost minutes. The sources see
# ISAPI_WEB_TEST_BINARY, the base name of the program they end up in.
function(iw_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS;LABELS" ${ARGN})
  if(ISAPI_WEB_AGGREGATE_TESTS)
    if(NOT TARGET win32_tests)
      add_executable(win32_tests ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
      target_link_libraries(win32_tests PRIVATE GTest::gmock GTest::gtest_main)
      target_compile_definitions(win32_tests PRIVATE ISAPI_WEB_TEST_BINARY="win32_tests")
      iw_target_options(win32_tests)
      add_test(NAME win32_tests COMMAND win32_tests)
      set_tests_properties(win32_tests PROPERTIES LABELS "unit" TIMEOUT 1800)
    endif()
    set(sources)
    foreach(source ${ARG_SOURCES})
      get_filename_component(source ${source} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
      list(APPEND sources ${source})
    endforeach()
    target_sources(win32_tests PRIVATE ${sources})
    target_include_directories(win32_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(win32_tests PRIVATE ${ARG_DEPENDS})
    add_custom_target(${name} DEPENDS win32_tests)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPENDS} GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE ISAPI_WEB_TEST_BINARY="${name}")
  iw_target_options(${name})
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES LABELS "unit;${ARG_LABELS}" TIMEOUT 900)
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
      PROPERTIES LABELS "unit;${ARG_LABELS}" TIMEOUT 600)
  endif()
endfunction()

include(EmbedResources)
