#!/bin/sh
# run_with_stderr.sh <run.sh> <program> [args...]
# Runs a Windows test program under the session with its standard error in
# a file, named to the program (as a Windows path on Wine's Z: drive) in
# TOLVAR_STDERR_FILE, so that it can read back the lines Wine prints there.
# The file is shown on this script's standard error afterwards.
set -u
errors=$(mktemp /tmp/tolvar-stderr.XXXXXX)
trap 'rm -f "$errors"' EXIT
TOLVAR_STDERR_FILE="Z:$(printf '%s' "$errors" | tr / '\\')"
export TOLVAR_STDERR_FILE
run=$1
shift
status=0
"$run" "$@" 2>"$errors" || status=$?
cat "$errors" >&2
exit "$status"
