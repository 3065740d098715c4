# Integration tests run the real Windows programs under Wine, in one Wine
# session per ctest run: a setup test starts it, a cleanup test ends it, and
# every Wine test requires that fixture.
set(TOLVAR_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix of the test run")
set(TOLVAR_WINE_ENV TOLVAR_WINEPREFIX=${TOLVAR_WINEPREFIX}
  TOLVAR_BIN_DIR=${TOLVAR_BIN_DIR}
  WINEPATH=${TOLVAR_BIN_DIR})
set(TOLVAR_WINE_RUN ${CMAKE_SOURCE_DIR}/tools/wine/run.sh)

add_test(NAME wine.session.start COMMAND ${CMAKE_SOURCE_DIR}/tools/wine/session.sh start)
add_test(NAME wine.session.stop COMMAND ${CMAKE_SOURCE_DIR}/tools/wine/session.sh stop)
set_tests_properties(wine.session.start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300
  ENVIRONMENT "${TOLVAR_WINE_ENV}")
set_tests_properties(wine.session.stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 120
  ENVIRONMENT "${TOLVAR_WINE_ENV}")

# tolvar_add_wine_test(NAME program [ARGS ...]): one ctest test that runs a
# Windows program under the session.
function(tolvar_add_wine_test name program)
  add_test(NAME ${name} COMMAND ${TOLVAR_WINE_RUN} $<TARGET_FILE:${program}> ${ARGN})
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 180
    ENVIRONMENT "${TOLVAR_WINE_ENV}" RESOURCE_LOCK wine_session_state)
endfunction()
