# Integration tests run the real Windows programs under Wine, in one Wine
# session per architecture and ctest run: a setup test starts it, a cleanup
# test ends it, and every Wine test requires that fixture. Each Windows
# build has a prefix of its own (32-bit for x86, 64-bit for x64), so the two
# builds' sessions, servers and drivers never meet, and their tests run side
# by side. Every test name starts with the architecture: x86.wine.frame,
# x64.wine.frame.
#
# Each Wine test's whole command goes through testing/wine/launch.sh, which
# runs it on the host or, where the host cannot execute 32-bit code, runs a
# 32-bit test in the build's QEMU guest (state in TOLVAR_GUEST_DIR); 64-bit
# Wine always runs on the host. The scripts' own limits (run.sh: 120 s a
# program, stretched by TOLVAR_WINE_TIME_SCALE in the guest) end a hung test
# first; ctest's TIMEOUTs leave room for the guest, so a test is always
# ended by a limit that cleans up after it.
set(TOLVAR_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix of the test run")
set(TOLVAR_GUEST_DIR ${CMAKE_BINARY_DIR}/guest CACHE PATH "State of the build's 32-bit Wine guest")
set(TOLVAR_WINE_ENV TOLVAR_WINEPREFIX=${TOLVAR_WINEPREFIX}
  TOLVAR_WINE_ARCH=${TOLVAR_WINE_ARCH}
  TOLVAR_BIN_DIR=${TOLVAR_BIN_DIR}
  TOLVAR_GUEST_DIR=${TOLVAR_GUEST_DIR}
  WINEPATH=${TOLVAR_BIN_DIR})
# tolvar_own_prefix_env(variable suffix): the run's Wine environment for a
# prefix of its own, ${TOLVAR_WINEPREFIX}<suffix>, made from the run's
# template (TOLVAR_SHARED_TEMPLATE).
function(tolvar_own_prefix_env variable suffix)
  set(env ${TOLVAR_WINE_ENV})
  list(FILTER env EXCLUDE REGEX "^TOLVAR_WINEPREFIX=")
  list(APPEND env TOLVAR_WINEPREFIX=${TOLVAR_WINEPREFIX}${suffix}
    TOLVAR_SHARED_TEMPLATE=${TOLVAR_WINEPREFIX}.template)
  set(${variable} ${env} PARENT_SCOPE)
endfunction()
set(TOLVAR_WINE_LAUNCH ${CMAKE_SOURCE_DIR}/testing/wine/launch.sh)
set(TOLVAR_WINE_RUN ${CMAKE_SOURCE_DIR}/testing/wine/run.sh)
set(TOLVAR_WINE_TEST_TIMEOUT 1500)
# The session's fixture, and the lock its tests take: they share one
# driver stand-in's state, so they run one at a time.
set(TOLVAR_WINE_SESSION ${TOLVAR_ARCH}.wine)
set(TOLVAR_WINE_SESSION_LOCK ${TOLVAR_ARCH}.wine_session_state)

add_test(NAME ${TOLVAR_ARCH}.wine.session.start
  COMMAND ${TOLVAR_WINE_LAUNCH} ${CMAKE_SOURCE_DIR}/testing/wine/session.sh start)
add_test(NAME ${TOLVAR_ARCH}.wine.session.stop
  COMMAND ${TOLVAR_WINE_LAUNCH} ${CMAKE_SOURCE_DIR}/testing/wine/session.sh stop)
# A session's tests are a chain, one at a time, so its start comes before
# every other test of a parallel run; a Wine that may run in an emulated
# guest (32-bit and ARM64 Wine) has the longest chain, so its comes first.
if(TOLVAR_WINE_RUNS STREQUAL host)
  set(TOLVAR_WINE_SESSION_COST 500)
else()
  set(TOLVAR_WINE_SESSION_COST 1000)
endif()
set_tests_properties(${TOLVAR_ARCH}.wine.session.start PROPERTIES
  FIXTURES_SETUP ${TOLVAR_WINE_SESSION} TIMEOUT 600 ENVIRONMENT "${TOLVAR_WINE_ENV}"
  COST ${TOLVAR_WINE_SESSION_COST})
set_tests_properties(${TOLVAR_ARCH}.wine.session.stop PROPERTIES
  FIXTURES_CLEANUP ${TOLVAR_WINE_SESSION} TIMEOUT 120 ENVIRONMENT "${TOLVAR_WINE_ENV}")

# tolvar_in_wine_session(test [TIMEOUT seconds] [SESSION fixture ENV ...]):
# runs the test in the run's session, with its environment and lock, or in
# another session (its fixture, which is also its lock, and environment).
function(tolvar_in_wine_session test)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "TIMEOUT;SESSION" "ENV")
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT ${TOLVAR_WINE_TEST_TIMEOUT})
  endif()
  if(arg_SESSION)
    set(lock ${arg_SESSION})
  else()
    set(arg_SESSION ${TOLVAR_WINE_SESSION})
    set(lock ${TOLVAR_WINE_SESSION_LOCK})
    set(arg_ENV ${TOLVAR_WINE_ENV})
  endif()
  set_tests_properties(${test} PROPERTIES FIXTURES_REQUIRED ${arg_SESSION}
    TIMEOUT ${arg_TIMEOUT} ENVIRONMENT "${arg_ENV}" RESOURCE_LOCK ${lock})
endfunction()

# tolvar_add_wine_test(NAME program [ARGS ...] [LIMIT seconds]
# [SESSION fixture ENV ...]): one ctest test, <arch>.NAME, that runs a
# Windows program under the session (see tolvar_in_wine_session). LIMIT is
# the program's own limit on a quiet host (run.sh's default, 120 s, unless
# given); the test's TIMEOUT leaves room for it in the guest.
function(tolvar_add_wine_test name program)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "LIMIT;SESSION" "ENV")
  add_test(NAME ${TOLVAR_ARCH}.${name}
    COMMAND ${TOLVAR_WINE_LAUNCH} ${TOLVAR_WINE_RUN} $<TARGET_FILE:${program}>
      ${arg_UNPARSED_ARGUMENTS})
  set(session)
  if(arg_SESSION)
    set(session SESSION ${arg_SESSION} ENV ${arg_ENV})
  endif()
  if(arg_LIMIT)
    math(EXPR timeout "${arg_LIMIT} * 10 + 300")
    tolvar_in_wine_session(${TOLVAR_ARCH}.${name} TIMEOUT ${timeout} ${session})
    set_property(TEST ${TOLVAR_ARCH}.${name} APPEND PROPERTY ENVIRONMENT
      TOLVAR_WINE_TIMEOUT=${arg_LIMIT})
  else()
    tolvar_in_wine_session(${TOLVAR_ARCH}.${name} ${session})
  endif()
endfunction()
