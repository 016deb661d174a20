# Authenticode signatures on what the package ships, when the configure step
# is given the releaser's certificate:
#   -DTOBRA_SIGN_PKCS12=<file.p12>, the password in the environment variable
#   TOBRA_SIGN_PASSWORD when the build runs (never at configure time: CMake would
#   write an expanded $ENV{...} into the generated build files);
#   optionally -DTOBRA_SIGN_TIMESTAMP_URL=<RFC 3161 service> and -DTOBRA_SIGN_URL=<url>.
# The cross-build signs with osslsigncode through cmake/sign-file.sh; an MSVC
# build signs with signtool after the build (docs/building.md).
set(TOBRA_SIGN_PKCS12 "" CACHE FILEPATH "PKCS#12 file with the code-signing certificate and its key; empty: nothing is signed")
set(TOBRA_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamping service for the signatures (optional)")
set(TOBRA_SIGN_URL "" CACHE STRING "URL that the signatures carry beside their description (optional)")

set(TOBRA_SIGNING OFF)
set(TOBRA_SIGN_COMMAND "")
if(NOT TOBRA_SIGN_PKCS12)
  message(STATUS "Signing: no certificate given (-DTOBRA_SIGN_PKCS12=...), nothing is signed")
elseif(NOT CMAKE_HOST_UNIX)
  message(WARNING "Signing: TOBRA_SIGN_PKCS12 is for the Linux cross-build; sign the MSVC build's files with signtool")
else()
  if(NOT EXISTS ${TOBRA_SIGN_PKCS12})
    message(FATAL_ERROR "Signing: ${TOBRA_SIGN_PKCS12} does not exist")
  endif()
  find_program(TOBRA_OSSLSIGNCODE osslsigncode)
  if(NOT TOBRA_OSSLSIGNCODE)
    message(FATAL_ERROR "Signing: osslsigncode not found (Debian: apt-get install osslsigncode)")
  endif()
  set(TOBRA_SIGNING ON)
  set(TOBRA_SIGN_COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/sign-file.sh)
  if(TOBRA_SIGN_URL)
    list(APPEND TOBRA_SIGN_COMMAND --url ${TOBRA_SIGN_URL})
  endif()
  if(TOBRA_SIGN_TIMESTAMP_URL)
    list(APPEND TOBRA_SIGN_COMMAND --timestamp ${TOBRA_SIGN_TIMESTAMP_URL})
  endif()
  message(STATUS "Signing: with ${TOBRA_SIGN_PKCS12}; the build reads its password from TOBRA_SIGN_PASSWORD")
endif()

# Signs the target's file right after it is linked, so that every later copy
# (the package's among them) carries the signature.
function(tobra_sign_target target)
  if(TOBRA_SIGNING)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${TOBRA_SIGN_COMMAND} ${TOBRA_SIGN_PKCS12} $<TARGET_FILE:${target}>
      VERBATIM)
  endif()
endfunction()
