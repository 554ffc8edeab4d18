# Installs the build tree into a fresh prefix, builds the sample extension against it with
# find_package, and drives it through the installed isapi-host's call command.
foreach(var BUILD_DIR WORK_DIR SAMPLE_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}\n${out}\n${err}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(file lib/cmake/isapi_web/isapi_webConfig.cmake include/isapi_web/isapi/isapi_extension.h
             bin/moravel${EXTENSION_SUFFIX} bin/isapi-host)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

run(${CMAKE_COMMAND} -S ${SAMPLE_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
  -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
  -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
  -DCMAKE_CXX_COMPILER_LAUNCHER=${LAUNCHER}
  "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_MODULE_LINKER_FLAGS=${MODULE_LINKER_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
set(extension ${WORK_DIR}/build/greeter${EXTENSION_SUFFIX})
if(NOT EXISTS ${extension})
  message(FATAL_ERROR "the sample extension was not built as ${extension}")
endif()

run(${prefix}/bin/isapi-host call ${extension} --path-info /hello --query name=Ada)
if(NOT output MATCHES "Hello, Ada, from greeter")
  message(FATAL_ERROR "the greeting is missing from the transcript:\n${output}")
endif()
# Nothing handles a POST: the error status, and no greeting.
run(${prefix}/bin/isapi-host call ${extension} --method POST --path-info /hello)
if(output MATCHES "from greeter")
  message(FATAL_ERROR "a POST was answered by the GET action:\n${output}")
endif()
message(STATUS "the sample extension built against the installed package answers")
