# One static library per subsystem folder; sources are picked up by glob so that
# adding a unit needs no edit here. A folder without sources yet gives no library.
function(vrn_existing_targets out)
  set(result)
  foreach(item ${ARGN})
    if(TARGET ${item} OR NOT item MATCHES "^vrn_")
      list(APPEND result ${item})
    endif()
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

function(vrn_library name)
  cmake_parse_arguments(LIB "" "" "DIRS;EXCLUDE;LINK" ${ARGN})
  set(sources)
  foreach(dir ${LIB_DIRS})
    file(GLOB found CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.h)
    list(APPEND sources ${found})
  endforeach()
  foreach(skip ${LIB_EXCLUDE})
    list(FILTER sources EXCLUDE REGEX "/${skip}$")
  endforeach()
  if(NOT sources)
    return()
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
  vrn_existing_targets(links ${LIB_LINK})
  target_link_libraries(${name} PUBLIC ${links})
endfunction()

# One test program per test folder, each test case registered with ctest on its own.
# The program verifies releases with RELEASE_KEY's key (an object library), by default none.
function(vrn_test_folder name dir)
  cmake_parse_arguments(TEST "" "RELEASE_KEY" "" ${ARGN})
  # a keyed program may run the same cases as a keyless one: its names tell them apart
  set(prefix "")
  if(TEST_RELEASE_KEY)
    set(prefix "Keyed.")
  else()
    set(TEST_RELEASE_KEY vrn_no_release_key)
  endif()
  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  vrn_existing_targets(links ${TEST_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE vrn_test_support ${links} ${TEST_RELEASE_KEY})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST TEST_PREFIX "${prefix}"
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 300)
endfunction()

# The release key a program verifies releases with (see src/net/release_key.h): an
# object library of its own per key, linked straight into each program, so that one
# build holds the configured setup, keyless test programs and a setup with a test key.
# `value_dir` holds that key's release_key_value.h.
function(vrn_release_key name value_dir)
  add_library(${name} OBJECT ${CMAKE_SOURCE_DIR}/src/net/release_key.cpp ${CMAKE_SOURCE_DIR}/src/net/release_key.h)
  target_include_directories(${name} PRIVATE ${value_dir} ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(${name} PRIVATE Qt6::Core)
endfunction()

# Writes `dir`/release_key_value.h for `key` at configure time.
function(vrn_release_key_value dir key)
  if(NOT key MATCHES "^[A-Za-z0-9+/=]*$")
    message(FATAL_ERROR "a release key is base64, as vrn-publish --new-key prints it, not \"${key}\"")
  endif()
  set(RELEASE_KEY "${key}")
  configure_file(${CMAKE_SOURCE_DIR}/src/net/release_key_value.h.in ${dir}/release_key_value.h @ONLY)
endfunction()
