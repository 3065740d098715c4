#!/bin/sh
# A step of the Wine machinery that fails names itself and shows what Wine
# said: a tolvarsdk.dll that is no DLL stops the stand-in's installation
# with rundll32's own words and the key's read-back, and run.sh refuses a
# prefix whose session is not up instead of starting one of its own.
#   failing_steps_test.sh
# Needs the test run's prefix template ($TOLVAR_WINEPREFIX.template).
set -u
: "${TOLVAR_WINEPREFIX:?}" "${TOLVAR_BIN_DIR:?}"
wine_scripts=$(cd "$(dirname "$0")/../../../testing/wine" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
expect() { # expect <description> <file> <fixed string>
    if grep -qF -- "$3" "$2"; then
        echo "ok: $1"
    else
        echo "FAILED: $1: no line with \"$3\" in:"
        sed 's/^/    | /' "$2"
        failures=$((failures + 1))
    fi
}

mkdir "$scratch/bin"
cp "$TOLVAR_BIN_DIR/TOLVARVX.sys" "$scratch/bin/"
echo "not a DLL" >"$scratch/bin/tolvarsdk.dll"
status=0
TOLVAR_BIN_DIR="$scratch/bin" TOLVAR_WINE_TEMPLATE="$TOLVAR_WINEPREFIX.template" \
    TOLVAR_WINEPREFIX="$scratch/prefix" "$wine_scripts/run-test.sh" cmd /c exit \
    >"$scratch/broken-dll" 2>&1 || status=$?
expect "run-test.sh exits 1 (was $status)" "$scratch/broken-dll" \
    "run-test: no Wine session with the driver stand-in in $scratch/prefix"
[ "$status" = 1 ] || failures=$((failures + 1))
expect "the step is named" "$scratch/broken-dll" \
    "install-stand-in: rundll32 tolvarsdk.dll,RegService exited 0; it said:"
expect "rundll32's own words are shown" "$scratch/broken-dll" \
    "err:rundll32:wWinMain Unable to find the entry point L\"RegService\" in L\"tolvarsdk.dll\""
expect "the read-back says what reg said" "$scratch/broken-dll" \
    "| reg: Unable to find the specified registry key"

mkdir "$scratch/idle"
status=0
TOLVAR_WINEPREFIX="$scratch/idle" "$wine_scripts/run.sh" cmd /c exit >"$scratch/no-session" 2>&1 ||
    status=$?
expect "run.sh without a session exits 1 (was $status)" "$scratch/no-session" \
    "run.sh: no Wine server runs for $scratch/idle: its session has ended or never started"
[ "$status" = 1 ] || failures=$((failures + 1))

echo "failing steps: $failures failed"
[ "$failures" -eq 0 ]
