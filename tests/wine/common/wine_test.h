/* A small test harness for the programs that run under Wine, after Wine's
 * own conformance tests: ok() checks a condition and says what it saw, and
 * a result that differs between Wine and Windows is stated where it is
 * checked, with the value each gives.
 *
 * A program defines its tests with START_TEST(name) and calls them from
 * there; it exits 0 when every check passed. Plain C, single header. */
#ifndef TOLVAR_WINE_TEST_H
#define TOLVAR_WINE_TEST_H

#include <stdarg.h>
#include <stdio.h>
#include <windows.h>

static int winetest_failures;
static int winetest_successes;
static const char *winetest_file;
static int winetest_line;

static int winetest_ok(int condition, const char *format, ...) {
    if (condition) {
        winetest_successes++;
    } else {
        va_list args;
        winetest_failures++;
        fprintf(stdout, "%s:%d: Test failed: ", winetest_file, winetest_line);
        va_start(args, format);
        vfprintf(stdout, format, args);
        va_end(args);
        fflush(stdout);
    }
    return condition;
}

static void winetest_trace(const char *format, ...) {
    va_list args;
    fprintf(stdout, "%s:%d: ", winetest_file, winetest_line);
    va_start(args, format);
    vfprintf(stdout, format, args);
    va_end(args);
    fflush(stdout);
}

#define ok (winetest_file = __FILE__, winetest_line = __LINE__), winetest_ok
#define trace (winetest_file = __FILE__, winetest_line = __LINE__), winetest_trace

/* Wine differs from Windows here: the check states Wine's value, and the
 * comment beside it says what Windows gives and why Wine does not. */
#define wine_only(expr) (expr)

static void winetest_run(const char *name);

#define START_TEST(name)                                                       \
    static void winetest_run(const char *winetest_name);                       \
    int main(void) {                                                           \
        setvbuf(stdout, NULL, _IONBF, 0);                                      \
        winetest_run(#name);                                                   \
        fprintf(stdout, "%s: %d tests executed (%d failures)\n", #name,       \
                winetest_successes + winetest_failures, winetest_failures);    \
        return winetest_failures ? 1 : 0;                                      \
    }                                                                          \
    static void winetest_run(const char *winetest_name)

#endif
