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

# 32-bit Windows test programs run under Wine, natively where the kernel runs 32-bit code and in a
# virtual machine elsewhere (scripts/win32-vm), where each process start costs seconds. Every suite
# is linked into one program, win32_tests, started once; the suite's own name stays a build target
# that builds it.
if(ISAPI_WEB_PLATFORM STREQUAL "windows" AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(ISAPI_WEB_AGGREGATE_TESTS ON)
else()
  set(ISAPI_WEB_AGGREGATE_TESTS OFF)
endif()

# Under Wine a program that dies quietly can still exit with 0; a whole-binary test passes only
# when GoogleTest itself reports the run complete, and fails on any failed case.
set(ISAPI_WEB_GTEST_PASSED "\\[  PASSED  \\] [0-9]+ tests?")
set(ISAPI_WEB_GTEST_FAILED "\\[  FAILED  \\]")
if(CMAKE_CROSSCOMPILING)
  # What Wine says of a heap call given no block of the heap (cmake/wine-run asks it to check).
  list(APPEND ISAPI_WEB_GTEST_FAILED "[0-9a-f]:(warn|err):heap:")
endif()

# iw_test(NAME SOURCES... [DEPENDS lib...] [LABELS label...] [STANDALONE])
# A GoogleTest executable. Natively every test case is its own ctest test; under Wine the whole
# binary is one ctest test, since starting Wine per case would cost minutes. The sources see
# ISAPI_WEB_TEST_BINARY and ISAPI_WEB_TEST_EXECUTABLE_NAME, the base and file name of the program
# they end up in. STANDALONE keeps a program of its own even where suites are linked into one.
function(iw_test name)
  cmake_parse_arguments(ARG "STANDALONE" "" "SOURCES;DEPENDS;LABELS" ${ARGN})
  if(ISAPI_WEB_AGGREGATE_TESTS AND NOT ARG_STANDALONE)
    if(NOT TARGET win32_tests)
      add_executable(win32_tests ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
      target_link_libraries(win32_tests PRIVATE GTest::gmock GTest::gtest_main)
      iw_target_options(win32_tests)
      add_test(NAME win32_tests COMMAND win32_tests)
      set_tests_properties(win32_tests PROPERTIES LABELS "unit" TIMEOUT 2400
        PASS_REGULAR_EXPRESSION "${ISAPI_WEB_GTEST_PASSED}"
        FAIL_REGULAR_EXPRESSION "${ISAPI_WEB_GTEST_FAILED}")
    endif()
    # The suite is an object library of its own name, so that its CMakeLists can still add
    # definitions, libraries and resources to it; the program takes its objects and its libraries.
    add_library(${name} OBJECT ${ARG_SOURCES})
    target_link_libraries(${name} PUBLIC ${ARG_DEPENDS} GTest::gmock GTest::gtest)
    target_compile_definitions(${name} PRIVATE ISAPI_WEB_TEST_BINARY="win32_tests"
      ISAPI_WEB_TEST_EXECUTABLE_NAME="$<TARGET_FILE_NAME:win32_tests>")
    iw_target_options(${name})
    target_link_libraries(win32_tests PRIVATE ${name} $<TARGET_PROPERTY:${name},LINK_LIBRARIES>)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPENDS} GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE ISAPI_WEB_TEST_BINARY="${name}"
    ISAPI_WEB_TEST_EXECUTABLE_NAME="$<TARGET_FILE_NAME:${name}>")
  iw_target_options(${name})
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES LABELS "unit;${ARG_LABELS}" TIMEOUT 900
      PASS_REGULAR_EXPRESSION "${ISAPI_WEB_GTEST_PASSED}"
      FAIL_REGULAR_EXPRESSION "${ISAPI_WEB_GTEST_FAILED}")
  else()
    # Discovery flattens a list value in PROPERTIES ("LABELS unit web TIMEOUT 600" would set a
    # property named "web" and lose the timeout), so further labels are added by a file that
    # ctest reads after the discovered tests.
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_LIST ${name}_TESTS
      PROPERTIES LABELS unit TIMEOUT 600)
    if(ARG_LABELS)
      set(labels_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
      file(WRITE ${labels_file} "if(${name}_TESTS)\n"
        "  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"unit;${ARG_LABELS}\")\n"
        "endif()\n")
      set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labels_file})
    endif()
  endif()
endfunction()

include(EmbedResources)
include(IsapiWebExtension)
