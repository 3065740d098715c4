# tolvarsdk's `testing` component, included by tolvarsdkConfig.cmake (with
# tolvarsdk_ARCH and PACKAGE_PREFIX_DIR set) for
#   find_package(tolvarsdk 1.0 REQUIRED CONFIG COMPONENTS testing)
# It gives
#   tolvarsdk::testing       the driver stand-in's test interface
#                            (tolvarvx_test.h, tolvarvx_details.h) and the
#                            header-only calls on it (tolvarvx_testing.h),
#                            linking bcrypt;
#   tolvarsdk_STAND_IN       the stand-in TOLVARVX.sys of the architecture;
#   tolvarsdk_add_wine_test(NAME <name> COMMAND <target or program> [<arg>...]
#                           [TIMEOUT <seconds>] [EXIT_STATUS <status>])
#                            a test that runs the program under Wine in a
#                            session of its own with the stand-in installed
#                            (testing/wine/run-test.sh says how), within
#                            TIMEOUT seconds (120 unless given); it passes
#                            when the program exits with EXIT_STATUS (0
#                            unless given: another is for a program that
#                            meets one of the results Wine gives where
#                            Windows succeeds, tolvarvx_testing.h).
# The stand-in is for Wine (or a test-signed machine): it has the real
# driver's service name, TOLVARVX.
set(_tolvarsdk_testing_files
  "${PACKAGE_PREFIX_DIR}/testing/${tolvarsdk_ARCH}/TOLVARVX.sys"
  "${PACKAGE_PREFIX_DIR}/testing/include/tolvarvx_testing.h"
  "${PACKAGE_PREFIX_DIR}/testing/wine/run-test.sh")
set(tolvarsdk_testing_FOUND TRUE)
foreach(_tolvarsdk_file IN LISTS _tolvarsdk_testing_files)
  if(NOT EXISTS "${_tolvarsdk_file}")
    set(tolvarsdk_testing_FOUND FALSE)
    string(CONCAT tolvarsdk_NOT_FOUND_MESSAGE "this tolvarsdk (${PACKAGE_PREFIX_DIR}) has no "
      "component testing for ${tolvarsdk_ARCH}: ${_tolvarsdk_file} is missing.")
    break()
  endif()
endforeach()
unset(_tolvarsdk_file)
unset(_tolvarsdk_testing_files)
if(NOT tolvarsdk_testing_FOUND)
  return()
endif()

if(NOT TARGET tolvarsdk::testing)
  add_library(tolvarsdk::testing INTERFACE IMPORTED)
  set_target_properties(tolvarsdk::testing PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES
      "${PACKAGE_PREFIX_DIR}/testing/include;${PACKAGE_PREFIX_DIR}/include"
    INTERFACE_LINK_LIBRARIES bcrypt)
endif()
set(tolvarsdk_STAND_IN "${PACKAGE_PREFIX_DIR}/testing/${tolvarsdk_ARCH}/TOLVARVX.sys")
# The function may be called from any folder of the project.
set_property(GLOBAL PROPERTY _tolvarsdk_testing_arch ${tolvarsdk_ARCH})

function(tolvarsdk_add_wine_test)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME;TIMEOUT;EXIT_STATUS" "COMMAND")
  if(NOT arg_NAME OR NOT arg_COMMAND OR arg_UNPARSED_ARGUMENTS
     OR (DEFINED arg_EXIT_STATUS AND NOT arg_EXIT_STATUS MATCHES "^[0-9]+$"))
    message(FATAL_ERROR "usage: tolvarsdk_add_wine_test(NAME <name> COMMAND <target or program> "
      "[<arg>...] [TIMEOUT <seconds>] [EXIT_STATUS <status>]), not (${ARGN})")
  endif()
  if(NOT DEFINED arg_EXIT_STATUS)
    set(arg_EXIT_STATUS 0)
  endif()
  if(CMAKE_HOST_WIN32)
    message(FATAL_ERROR "tolvarsdk_add_wine_test runs Windows programs under Wine on a Linux host")
  endif()
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 120)
  endif()
  # The SDK this file belongs to, and the architecture find_package chose.
  get_filename_component(sdk "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../../.." ABSOLUTE)
  get_property(arch GLOBAL PROPERTY _tolvarsdk_testing_arch)
  # Its Wine, and where that runs (the SDK's cmake/<arch>.arch).
  _tolvarsdk_read_arch("${sdk}/cmake/${arch}.arch" row)
  list(POP_FRONT arg_COMMAND program)
  if(TARGET ${program})
    set(program "$<TARGET_FILE:${program}>")
  endif()

  # One prefix template per architecture in this build tree, made by a
  # fixture before the first test needs it, so that only it pays for
  # wineboot and the tests may then start side by side.
  set(wine_dir "${CMAKE_BINARY_DIR}/tolvarsdk-wine/${arch}")
  # Every command goes through the launcher: where the host cannot execute
  # 32-bit code, a 32-bit test runs whole in a QEMU guest that shares the
  # SDK and this build tree (named to it: never the folders around them).
  # That is the guest named by TOLVAR_GUEST_DIR when the project is
  # configured (one already running, whose shares cover both), else this
  # build's own, booted by the first test that needs it and powered off when
  # no test has used it for five minutes. guest_dir names it; its state,
  # with the secret that lets a command into the guest, is kept in this
  # user's cache, outside what the guest sees, and must be this user's
  # alone, which the guest runner checks at every command. An ARM64 test runs the same
  # way in the emulated aarch64 guest, whose state folder is another
  # (TOLVAR_ARM64_GUEST_DIR, else this build's own): each guest machine has
  # its own variable and folder name, which the architecture's description
  # gives, and an architecture whose Wine always runs here has none.
  set(launch "${sdk}/testing/wine/launch.sh")
  set(wine_env TOLVAR_WINE_TEMPLATE=${wine_dir}/template TOLVAR_WINE_ARCH=${row_WINE_ARCH})
  if(row_GUEST_FOLDER)
    if(DEFINED ENV{${row_GUEST_VARIABLE}})
      set(guest_dir "$ENV{${row_GUEST_VARIABLE}}")
    else()
      set(guest_dir "${CMAKE_BINARY_DIR}/tolvarsdk-${row_GUEST_FOLDER}")
    endif()
    list(APPEND wine_env TOLVAR_GUEST_DIR=${guest_dir})
  endif()
  list(APPEND wine_env TOLVAR_GUEST_SHARE=${CMAKE_BINARY_DIR})
  set(fixture tolvarsdk.wine.template.${arch})
  get_property(have_fixture GLOBAL PROPERTY _tolvarsdk_fixture_${arch})
  if(NOT have_fixture)
    set_property(GLOBAL PROPERTY _tolvarsdk_fixture_${arch} TRUE)
    # ctest ends a test past its TIMEOUT with SIGKILL, which no script can
    # clean up after: the daemons of a half-made prefix would outlive it.
    # So the limit is longer than the step's own (wineboot's 120 s and the
    # session's end, ten times over in the guest), which always end it first.
    add_test(NAME ${fixture} COMMAND "${launch}" "${sdk}/testing/wine/session.sh" template)
    set_tests_properties(${fixture} PROPERTIES FIXTURES_SETUP ${fixture} TIMEOUT 1800
      ENVIRONMENT "${wine_env};TOLVAR_WINEPREFIX=${wine_dir}/template-session")
  endif()

  # Each test has a prefix of its own. Its time limit covers the program's
  # (ten times over in the guest, whose emulated CPU is that much slower)
  # and, generously, the session's start and end: the script's own limits
  # end a hung program first, so the session is always ended.
  string(MAKE_C_IDENTIFIER "${arg_NAME}" folder)
  math(EXPR test_timeout "${arg_TIMEOUT} * 10 + 600")
  add_test(NAME ${arg_NAME} COMMAND "${launch}" "${sdk}/testing/wine/run-test.sh" "${program}"
    ${arg_COMMAND})
  list(APPEND wine_env TOLVAR_WINEPREFIX=${wine_dir}/tests/${folder}
    TOLVAR_BIN_DIR=${sdk}/bin/${arch} TOLVAR_STAND_IN=${sdk}/testing/${arch}/TOLVARVX.sys
    TOLVAR_WINE_TIMEOUT=${arg_TIMEOUT} TOLVAR_EXIT_STATUS=${arg_EXIT_STATUS})
  set_tests_properties(${arg_NAME} PROPERTIES FIXTURES_REQUIRED ${fixture} TIMEOUT ${test_timeout}
    ENVIRONMENT "${wine_env}")
endfunction()
