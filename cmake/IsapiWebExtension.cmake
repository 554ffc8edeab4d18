# isapi_web_add_extension(NAME SOURCES file... [DEF file.def] [RESOURCES NAME file ...]
#                         [LIBRARIES lib...])
#
# An ISAPI extension built on the framework: a loadable module without the "lib" prefix
# (NAME.dll on Windows, NAME.so elsewhere) that exports only GetExtensionVersion,
# HttpExtensionProc and TerminateExtension (the main file uses ISAPI_WEB_EXTENSION_LIBRARY).
#
# Windows: the .def file (one naming NAME.dll and the three exports is made when DEF is not
# given) exports the undecorated names only, and libgcc, libstdc++ and winpthread are linked in,
# so the DLL needs Windows system DLLs alone. Elsewhere the framework's symbols stay inside the
# module, so two extensions in one host never share or interpose each other's framework.
#
# RESOURCES are embedded as with iw_embed_resources: the stored definitions of the extension's
# module classes, under their class names in upper case.

function(isapi_web_add_extension name)
  cmake_parse_arguments(ARG "" "DEF" "SOURCES;RESOURCES;LIBRARIES" ${ARGN})
  add_library(${name} MODULE ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_link_libraries(${name} PRIVATE isapi_web::isapi ${ARG_LIBRARIES})
  if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
    if(ARG_DEF)
      cmake_path(ABSOLUTE_PATH ARG_DEF BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} NORMALIZE)
      set(def ${ARG_DEF})
    else()
      set(def ${CMAKE_CURRENT_BINARY_DIR}/${name}_exports.def)
      file(CONFIGURE OUTPUT ${def} CONTENT
        "LIBRARY ${name}.dll\nEXPORTS\n  GetExtensionVersion\n  HttpExtensionProc\n  TerminateExtension\n")
    endif()
    target_sources(${name} PRIVATE ${def})
    target_link_options(${name} PRIVATE -static -static-libgcc -static-libstdc++)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      # The .def names are undecorated; the stdcall symbols behind them are name@4.
      target_link_options(${name} PRIVATE -Wl,--enable-stdcall-fixup)
    endif()
  else()
    target_link_options(${name} PRIVATE -Wl,--exclude-libs,ALL)
    # Every symbol resolved when the module links, except in sanitizer builds: clang keeps the
    # sanitizer runtime in the executable that loads the module, not in the module.
    if(NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize=")
      target_link_options(${name} PRIVATE -Wl,--no-undefined)
    endif()
  endif()
  if(ARG_RESOURCES)
    iw_embed_resources(TARGET ${name} RESOURCES ${ARG_RESOURCES})
  endif()
endfunction()
