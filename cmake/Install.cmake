# What `cmake --install` puts under the prefix: the extension and isapi-host in bin/, the
# framework's static libraries in lib/, its headers in include/isapi_web/, and a CMake package,
# so that another extension is built with find_package(isapi_web) and isapi_web_add_extension.

include(CMakePackageConfigHelpers)

set(ISAPI_WEB_FRAMEWORK_LIBRARIES runtime platform http web isapi)
install(TARGETS ${ISAPI_WEB_FRAMEWORK_LIBRARIES} host_interface
  EXPORT isapi_webTargets
  ARCHIVE DESTINATION lib
  INCLUDES DESTINATION include/isapi_web)
foreach(dir ${ISAPI_WEB_FRAMEWORK_LIBRARIES})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/src/${dir}/ DESTINATION include/isapi_web/${dir}
    FILES_MATCHING PATTERN "*.h")
endforeach()

set(package_dir lib/cmake/isapi_web)
install(EXPORT isapi_webTargets NAMESPACE isapi_web:: DESTINATION ${package_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/isapi_webConfig.cmake.in
  ${PROJECT_BINARY_DIR}/isapi_webConfig.cmake INSTALL_DESTINATION ${package_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/isapi_webConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/isapi_webConfig.cmake
  ${PROJECT_BINARY_DIR}/isapi_webConfigVersion.cmake
  ${PROJECT_SOURCE_DIR}/cmake/EmbedResources.cmake
  ${PROJECT_SOURCE_DIR}/cmake/IsapiWebExtension.cmake
  DESTINATION ${package_dir})
