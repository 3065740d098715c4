#!/bin/sh
# A Wine session of its own for tests that must not share the run's
# session (the stress tests, the last of which kills the driver stand-in),
# and that run beside it. Its prefix is
# $TOLVAR_WINEPREFIX; a missing template is copied from the shared run's
# ($TOLVAR_SHARED_TEMPLATE) when that one is ready, so only the first run
# ever pays for wineboot. Then as testing/wine/session.sh start|stop.
set -eu
: "${TOLVAR_WINEPREFIX:?}"
here=$(dirname "$0")
template="$TOLVAR_WINEPREFIX.template"
if [ "$1" = start ] && [ ! -d "$template" ] && [ -n "${TOLVAR_SHARED_TEMPLATE:-}" ] \
    && [ -d "$TOLVAR_SHARED_TEMPLATE" ]; then
    rm -rf "$template.tmp"
    cp -a "$TOLVAR_SHARED_TEMPLATE" "$template.tmp"
    mv "$template.tmp" "$template"
fi
exec "$here/../../../testing/wine/session.sh" "$@"
