#!/bin/sh
# `rundll32 tolvarsdk.dll,RegService` writes the service key, and the next
# Wine session loads the driver stand-in from that key alone;
# `rundll32 tolvarsdk.dll,UnregService` takes it away again.
#   new_session_test.sh <service_probe.exe>
# Runs in a prefix of its own, copied from the test run's template (or the
# ready one in $TOLVAR_BASE_TEMPLATE), so that the test session's prefix and
# server are never touched.
set -u
: "${TOLVAR_WINEPREFIX:?}" "${TOLVAR_BIN_DIR:?}"
probe=$1
template=${TOLVAR_BASE_TEMPLATE:-$TOLVAR_WINEPREFIX.template}
. "$(dirname "$0")/../../../tools/wine/arch.sh"
export WINEPREFIX="$TOLVAR_WINEPREFIX.service" WINEDEBUG=-all
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
end_session() {
    timeout 30 wineserver -k 2>/dev/null
    timeout 30 wineserver -w 2>/dev/null
}
# A new session: the services start apart from this script's pipes, and
# services.exe reads the service keys as it starts. The server stays up
# until the next end_session: were it to end between two slow commands, the
# second would start a new session, whose services would read a key that
# the check expects to be unread.
new_session() {
    end_session
    timeout 10 wineserver -p </dev/null >/dev/null 2>&1
    timeout 60 "$wine" cmd /c exit </dev/null >/dev/null 2>&1
}
wine_run() { timeout 60 "$wine" "$@" </dev/null; }
probe_says() { wine_run "$probe" "$1" >/tmp/service-probe.$$ 2>&1; status=$?; cat /tmp/service-probe.$$; return $status; }
rundll() { (cd "$TOLVAR_BIN_DIR" && wine_run rundll32 tolvarsdk.dll,"$1" >/dev/null 2>&1); }
key_values() { wine_run reg query "$key" 2>/dev/null | tr -d '\r' | sed -n 's/^ *\([A-Za-z]*\) *\(REG_[A-Z_]*\) *\(.*\)$/\1 \2 \3/p'; }
key_exists() { wine_run reg query "$key" >/dev/null 2>&1; }
key_absent() { ! key_exists; }

if [ ! -d "$template" ]; then
    echo "no prefix template at $template (the wine session fixture makes it)" >&2
    exit 1
fi
end_session
rm -rf "$WINEPREFIX"
cp -a "$template" "$WINEPREFIX"
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
rm -rf "$WINEPREFIX" /tmp/service-probe.$$
echo "service new session: $((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
