#!/usr/bin/python3
"""Runs a command as a child subreaper and reports what all of it cost:

    reap.py COMMAND [ARG...]

Wine's server and the processes a Wine session starts leave their parent
(they daemonize), so the command's own resource usage misses them. As a
subreaper (prctl PR_SET_CHILD_SUBREAPER) this process inherits every
descendant that loses its parent and reaps it, so RUSAGE_CHILDREN counts
them all. Prints, after the command's own output:

    reap: wall <seconds>
    reap: processor <seconds> (user <s>, system <s>)
    reap: outlived <n> <pid command>...

"outlived" lists the descendants still running 5 s after the command
ended; they are left running, and counted no further. Exits with the
command's status.
"""
import ctypes
import os
import resource
import sys
import time

PR_SET_CHILD_SUBREAPER = 36


def command_line(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().replace(b"\0", b" ").decode(errors="replace").strip()
    except OSError:
        return "?"


def children_of_this():
    """The processes whose parent is this one (inherited orphans among them)."""
    me = os.getpid()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        # The command's name is in parentheses and may hold spaces.
        fields = stat[stat.rindex(")") + 2:].split()
        if int(fields[1]) == me:
            found.append(int(entry))
    return found


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        print("reap: cannot become a subreaper", file=sys.stderr)
        return 1
    start = time.monotonic()
    pid = os.fork()
    if pid == 0:
        try:
            os.execvp(sys.argv[1], sys.argv[1:])
        finally:
            os._exit(127)
    status = None
    while status is None:
        reaped, raw = os.wait()
        if reaped == pid:
            status = os.waitstatus_to_exitcode(raw)
    wall = time.monotonic() - start
    # What the command left: reaped as it ends, for at most 5 s.
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        try:
            reaped, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            break
        if reaped == 0:
            time.sleep(0.1)
    left = children_of_this()
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    sys.stdout.flush()
    print(f"reap: wall {wall:.1f}")
    print(f"reap: processor {usage.ru_utime + usage.ru_stime:.1f} "
          f"(user {usage.ru_utime:.1f}, system {usage.ru_stime:.1f})")
    print(f"reap: outlived {len(left)}" + "".join(f" [{p} {command_line(p)}]" for p in left))
    return status if status >= 0 else 128 - status


if __name__ == "__main__":
    sys.exit(main())
