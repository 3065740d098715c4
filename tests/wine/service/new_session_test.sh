#!/bin/sh
# `rundll32 tolvarsdk.dll,RegService` writes the service key, and the next
# Wine session loads the driver stand-in from that key alone;
# `rundll32 tolvarsdk.dll,UnregService` takes it away again.
#   new_session_test.sh <service_probe.exe>
# Runs in a prefix of its own ($TOLVAR_WINEPREFIX), copied from the test
# run's template ($TOLVAR_SHARED_TEMPLATE, or the ready one in
# $TOLVAR_BASE_TEMPLATE), so that the test session's prefix and server are
# never touched.
set -u
: "${TOLVAR_WINEPREFIX:?}" "${TOLVAR_SHARED_TEMPLATE:?}" "${TOLVAR_BIN_DIR:?}"
probe=$1
template=${TOLVAR_BASE_TEMPLATE:-$TOLVAR_SHARED_TEMPLATE}
. "$(dirname "$0")/../../../testing/wine/arch.sh"
export WINEPREFIX="$TOLVAR_WINEPREFIX" WINEDEBUG=-all
key='HKLM\SYSTEM\CurrentControlSet\Services\TOLVARVX'
failures=0 checks=0

check() { # check <description> <command...>
    description=$1
    shift
    checks=$((checks + 1))
    if "$@"; then
        echo "ok: $description"
    else
        echo "FAILED: $description"
        failures=$((failures + 1))
    fi
}
# A new session: the services start apart from this script's pipes, and
# services.exe reads the service keys as it starts. The server stays up
# until the next end_session: were it to end between two slow commands, the
# second would start a new session, whose services would read a key that
# the check expects to be unread.
new_session() {
    end_session
    wine_step "keeping a new Wine server up" timeout "$(wine_limit 10)" wineserver -p
    wine_step "starting the new session's services" timeout "$(wine_limit 60)" "$wine" cmd /c exit
}
# Every answer goes through a file: the session is up, but a pipe given to
# a first Wine process would stay open in its services.
answer=$(mktemp "${TMPDIR:-/tmp}/service-test.XXXXXX")
wine_run() { # wine_run <command...>: its status, and all it printed in $answer
    status=0
    timeout "$(wine_limit 60)" "$wine" "$@" </dev/null >"$answer" 2>&1 || status=$?
    return $status
}
said() { tr -d '\r' <"$answer"; }
probe_says() { wine_run "$probe" "$1"; status=$?; said; return $status; }
rundll() { (cd "$TOLVAR_BIN_DIR" && wine_step "rundll32 tolvarsdk.dll,$1" timeout "$(wine_limit 60)" "$wine" rundll32 tolvarsdk.dll,"$1"); }
key_values() { wine_run reg query "$key" && said | sed -n 's/^ *\([A-Za-z]*\) *\(REG_[A-Z_]*\) *\(.*\)$/\1 \2 \3/p'; }
# reg's own words for a missing key, and its status 1: any other failure
# (Wine not starting, say) is no proof that the key is gone.
key_absent() {
    wine_run reg query "$key"
    status=$?
    [ "$status" = 1 ] && said | grep -qx "reg: Unable to find the specified registry key" && return 0
    echo "reg query $key exited $status and said:"
    said | sed 's/^/    | /'
    return 1
}

if [ ! -d "$template" ]; then
    echo "no prefix template at $template (the wine session fixture makes it)" >&2
    exit 1
fi
end_session
fresh_prefix "$template" || exit 1
cp "$TOLVAR_BIN_DIR/TOLVARVX.sys" "$WINEPREFIX/drive_c/windows/system32/drivers/TOLVARVX.sys"

new_session
check "a fresh prefix has no service key" key_absent
check "without the key no stand-in device opens" probe_says absent

check "rundll32 tolvarsdk.dll,RegService exits 0" rundll RegService
values=$(key_values)
expected="ErrorControl REG_DWORD 0x1
Start REG_DWORD 0x1
Type REG_DWORD 0x1"
check "reg query lists exactly the three values, in order: $(echo $values)" test "$values" = "$expected"
# services.exe read the keys when this session started: the driver waits
# for the next one, on Windows for the next start of the system.
check "the session that wrote the key has not loaded the driver" probe_says absent

new_session
check "the next session loads the stand-in from the key alone" probe_says loaded

check "rundll32 tolvarsdk.dll,UnregService exits 0" rundll UnregService
check "reg query finds no key after UnregService" key_absent
new_session
check "without the key the next session has no stand-in" probe_says absent

end_session
remove_prefix
rm -f "$answer"
echo "service new session: $((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
