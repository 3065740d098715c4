# Sourced by tools/demo.sh and tools/test.sh: one stage of a long run, with
# a word at least every 30 s, so that a new user never watches a silent
# screen for minutes.
#   run_stage NAME WHAT SHOW LOG COMMAND [ARG...]
# NAME starts each line ("demo", "test"); WHAT says what the stage does.
# The command's output is appended to LOG; with SHOW=yes it is also shown
# as it comes. While the command runs, every 30 s (with SHOW=yes, every
# 30 s in which it printed nothing) one line says how long it has run and
# how far it is: a build's steps done of steps, the tests done so far, or
# the last line it wrote. Returns the command's status.
# Needs nothing beyond what a minimal Debian has (POSIX sh, coreutils).
run_stage() {
    stage_name=$1 stage_what=$2 stage_show=$3 stage_log=$4
    shift 4
    : >>"$stage_log"
    stage_offset=$(wc -c <"$stage_log")
    # The command runs in the foreground, so that an interrupt reaches it;
    # a watcher beside it speaks, and ends with it or with this shell.
    stage_watch "$stage_name" "$stage_what" "$stage_log" "$stage_offset" $$ &
    stage_watcher=$!
    stage_status=0
    if [ "$stage_show" = yes ]; then
        stage_status_file=$(mktemp "${TMPDIR:-/tmp}/tolvar-stage.XXXXXX")
        echo 1 >"$stage_status_file"
        { stage_status=0; "$@" 2>&1 </dev/null || stage_status=$?; echo "$stage_status" >"$stage_status_file"; } |
            tee -a "$stage_log"
        stage_status=$(cat "$stage_status_file")
        rm -f "$stage_status_file"
    else
        "$@" >>"$stage_log" 2>&1 </dev/null || stage_status=$?
    fi
    kill "$stage_watcher" 2>/dev/null || true
    wait "$stage_watcher" 2>/dev/null || true
    return "$stage_status"
}

# stage_watch NAME WHAT LOG OFFSET SHELL: every 30 s in which LOG did not
# grow, one line on how far the stage is; ends when SHELL does.
stage_watch() {
    watch_start=$(date +%s)
    watch_size=$(wc -c <"$3")
    watch_since=$watch_start
    while kill -0 "$5" 2>/dev/null; do
        sleep 2
        watch_now=$(date +%s)
        watch_new=$(wc -c <"$3")
        if [ "$watch_new" != "$watch_size" ]; then
            watch_size=$watch_new
            [ "$stage_show" = yes ] && watch_since=$watch_now
        fi
        if [ $((watch_now - watch_since)) -ge 30 ]; then
            echo "$1: $2: $((watch_now - watch_start)) s so far, $(stage_progress "$3" "$4")"
            watch_since=$watch_now
        fi
    done
}

# stage_progress LOG OFFSET: how far the command writing LOG (from byte
# OFFSET on) has come, in a few words.
stage_progress() {
    stage_tail=$(tail -c +"$(($2 + 1))" "$1" | tr '\r' '\n' | tail -n 400)
    # Whichever came last: a build's "[57/107] Building ..." or a test
    # run's "12/40 Test #7: ...".
    stage_now=$(printf '%s\n' "$stage_tail" | sed -n \
        -e 's/^\[\([0-9]*\)\/\([0-9]*\)\].*/step \1 of \2/p' \
        -e 's/^ *\([0-9]*\)\/\([0-9]*\) Test *#.*/\1 of \2 tests done/p' | tail -n 1)
    if [ -n "$stage_now" ]; then
        echo "$stage_now"
    else
        stage_line=$(printf '%s\n' "$stage_tail" | grep -v '^[[:space:]]*$' | tail -n 1 | cut -c1-100)
        echo "last: ${stage_line:-(nothing printed yet)}"
    fi
}
