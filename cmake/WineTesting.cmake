# Integration tests run the real Windows programs under Wine, in one Wine
# session per ctest run: a setup test starts it, a cleanup test ends it, and
# every Wine test requires that fixture.
#
# Each Wine test's whole command goes through tools/wine/launch.sh, which
# runs it on the host or, where the host cannot execute 32-bit code, in the
# build's QEMU guest (state in TOLVAR_GUEST_DIR). The scripts' own limits
# (run.sh: 120 s a program, stretched by TOLVAR_WINE_TIME_SCALE in the
# guest) end a hung test first; ctest's TIMEOUTs leave room for the guest,
# so a test is always ended by a limit that cleans up after it.
set(TOLVAR_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix of the test run")
set(TOLVAR_GUEST_DIR ${CMAKE_BINARY_DIR}/guest CACHE PATH "State of the build's 32-bit Wine guest")
set(TOLVAR_WINE_ENV TOLVAR_WINEPREFIX=${TOLVAR_WINEPREFIX}
  TOLVAR_BIN_DIR=${TOLVAR_BIN_DIR}
  TOLVAR_GUEST_DIR=${TOLVAR_GUEST_DIR}
  WINEPATH=${TOLVAR_BIN_DIR})
set(TOLVAR_WINE_LAUNCH ${CMAKE_SOURCE_DIR}/tools/wine/launch.sh)
set(TOLVAR_WINE_RUN ${CMAKE_SOURCE_DIR}/tools/wine/run.sh)
set(TOLVAR_WINE_TEST_TIMEOUT 1500)

add_test(NAME wine.session.start
  COMMAND ${TOLVAR_WINE_LAUNCH} ${CMAKE_SOURCE_DIR}/tools/wine/session.sh start)
add_test(NAME wine.session.stop
  COMMAND ${TOLVAR_WINE_LAUNCH} ${CMAKE_SOURCE_DIR}/tools/wine/session.sh stop)
set_tests_properties(wine.session.start PROPERTIES FIXTURES_SETUP wine TIMEOUT 600
  ENVIRONMENT "${TOLVAR_WINE_ENV}")
set_tests_properties(wine.session.stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 120
  ENVIRONMENT "${TOLVAR_WINE_ENV}")

# tolvar_add_wine_test(NAME program [ARGS ...]): one ctest test that runs a
# Windows program under the session.
function(tolvar_add_wine_test name program)
  add_test(NAME ${name}
    COMMAND ${TOLVAR_WINE_LAUNCH} ${TOLVAR_WINE_RUN} $<TARGET_FILE:${program}> ${ARGN})
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine
    TIMEOUT ${TOLVAR_WINE_TEST_TIMEOUT} ENVIRONMENT "${TOLVAR_WINE_ENV}"
    RESOURCE_LOCK wine_session_state)
endfunction()
