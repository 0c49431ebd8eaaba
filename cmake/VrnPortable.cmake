# The portable setup file build/dist/vrnsetup: the launcher with a compressed bundle of
# the program, its libraries, Qt plug-ins and translations behind it, and the program's
# resources appended last, as to the plain program. Made by the default build.
find_program(VRN_PATCHELF patchelf REQUIRED)
# decompression speed hardly depends on the level; higher levels cost build time for a few MB
set(VRN_PORTABLE_ZSTD_LEVEL 12 CACHE STRING "zstd level of the portable setup's bundle")
# The descriptors through which the launcher hands the program its loader, the checked
# bundle folder and the folder of its chosen libraries (see collect_portable_bundle.sh):
# built into the program's interpreter, search path and qt.conf, so the launcher is
# compiled with the same numbers.
set(VRN_PORTABLE_INTERPRETER_FD 60)
set(VRN_PORTABLE_BUNDLE_FD 61)
set(VRN_PORTABLE_LIBRARY_FD 62)

add_subdirectory(${CMAKE_SOURCE_DIR}/src/launcher ${CMAKE_BINARY_DIR}/launcher)

# the folders of the Qt installation the program was built against
find_program(VRN_QTPATHS NAMES qtpaths6 qtpaths REQUIRED)
execute_process(COMMAND ${VRN_QTPATHS} --query QT_INSTALL_PLUGINS OUTPUT_VARIABLE VRN_QT_PLUGINS OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${VRN_QTPATHS} --query QT_INSTALL_TRANSLATIONS OUTPUT_VARIABLE VRN_QT_TRANSLATIONS OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT IS_DIRECTORY "${VRN_QT_PLUGINS}" OR NOT IS_DIRECTORY "${VRN_QT_TRANSLATIONS}")
  message(FATAL_ERROR "qtpaths6 does not name Qt's plug-in and translation folders")
endif()

# The portable file `dist` of the program `program`, made by the target `name` (with ALL:
# by the default build).
function(vrn_portable_file program dist name)
  cmake_parse_arguments(PORTABLE "ALL" "" "" ${ARGN})
  get_filename_component(folder ${dist} DIRECTORY)
  file(RELATIVE_PATH shown ${CMAKE_BINARY_DIR} ${dist})
  set(stage ${CMAKE_BINARY_DIR}/portable/${program})
  vrn_resource_pairs(pairs resource_files)
  add_custom_command(OUTPUT ${dist}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
    COMMAND ${CMAKE_SOURCE_DIR}/cmake/collect_portable_bundle.sh $<TARGET_FILE:${program}> ${VRN_QT_PLUGINS}
      ${VRN_QT_TRANSLATIONS} ${stage} ${VRN_PORTABLE_INTERPRETER_FD} ${VRN_PORTABLE_BUNDLE_FD} ${VRN_PORTABLE_LIBRARY_FD}
    COMMAND vrn-bundle --level ${VRN_PORTABLE_ZSTD_LEVEL} $<TARGET_FILE:vrn-launcher> ${stage} ${dist}.new
    COMMAND vrn-rc add ${dist}.new ${pairs}
    COMMAND ${CMAKE_COMMAND} -E rename ${dist}.new ${dist}
    DEPENDS ${program} vrn-launcher vrn-bundle vrn-rc ${CMAKE_SOURCE_DIR}/cmake/collect_portable_bundle.sh ${resource_files}
    COMMENT "Packing the portable setup file ${shown}"
    VERBATIM)
  if(PORTABLE_ALL)
    add_custom_target(${name} ALL DEPENDS ${dist})
  else()
    add_custom_target(${name} DEPENDS ${dist})
  endif()
endfunction()

vrn_portable_file(vrnsetup ${CMAKE_BINARY_DIR}/dist/vrnsetup vrnsetup-portable ALL)
if(TARGET vrnsetup-keyed)
  vrn_portable_file(vrnsetup-keyed ${CMAKE_BINARY_DIR}/dist-keyed/vrnsetup vrnsetup-keyed-portable)
endif()
