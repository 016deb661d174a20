# Test registration. When cross-compiling on Linux, ctest runs each test
# executable through the Wine loader (CMAKE_CROSSCOMPILING_EMULATOR) in a
# prefix of the build tree's own, which the `wineprefix` target creates.

if(CMAKE_CROSSCOMPILING AND CMAKE_HOST_UNIX)
  set(TOBRA_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  add_custom_command(
    OUTPUT ${TOBRA_WINEPREFIX}/.tobra-ready
    COMMAND ${CMAKE_SOURCE_DIR}/cmake/make-wineprefix.sh ${TOBRA_WINEPREFIX}
    DEPENDS ${CMAKE_SOURCE_DIR}/cmake/make-wineprefix.sh
    COMMENT "Creating the Wine prefix for the tests"
    VERBATIM)
  add_custom_target(wineprefix ALL DEPENDS ${TOBRA_WINEPREFIX}/.tobra-ready)
endif()

# tobra_add_test(NAME name COMMAND target [args...] [TIMEOUT s] [LOCKS res...])
function(tobra_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "COMMAND;LOCKS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_COMMAND})
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(T_LOCKS)
    set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK "${T_LOCKS}")
  endif()
  if(TOBRA_WINEPREFIX)
    set_tests_properties(${T_NAME} PROPERTIES
      ENVIRONMENT "WINEPREFIX=${TOBRA_WINEPREFIX};WINEDEBUG=-all;WINEDLLOVERRIDES=mscoree,mshtml=")
  endif()
endfunction()
