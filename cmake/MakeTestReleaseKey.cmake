# Makes the release key of the test programs at build time, so that no private key
# lives in the repository: DIR/release.pem (private) and DIR/release_key_value.h
# (the public key compiled in). A key already made is kept.
#   cmake -DPUBLISH=<vrn-publish> -DDIR=<folder> -DTEMPLATE=<release_key_value.h.in> -P MakeTestReleaseKey.cmake
file(MAKE_DIRECTORY ${DIR})
if(NOT EXISTS ${DIR}/release.pem OR NOT EXISTS ${DIR}/release.pub)
  file(REMOVE ${DIR}/release.pem ${DIR}/release.pub)
  execute_process(COMMAND ${PUBLISH} --new-key ${DIR}/release.pem
    OUTPUT_VARIABLE public_key OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR public_key STREQUAL "")
    message(FATAL_ERROR "vrn-publish --new-key failed (${status})")
  endif()
  file(WRITE ${DIR}/release.pub "${public_key}\n")
endif()
file(STRINGS ${DIR}/release.pub RELEASE_KEY LIMIT_COUNT 1)
configure_file(${TEMPLATE} ${DIR}/release_key_value.h @ONLY)
