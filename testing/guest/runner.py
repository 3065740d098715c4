#!/usr/bin/python3
"""The Wine guests, host side: Wine runs in a throw-away Debian guest under
QEMU, and each command goes there whole. --arch picks the guest, a row
NAME.machine beside this script (machines.py): x86 (the default) runs
32-bit Wine, for hosts that cannot execute 32-bit x86 code (or
TOLVAR_WINE_VM=1); arm64 runs 64-bit ARM Wine in an emulated aarch64
machine.

  runner.py [--arch A] image                    build the image unless cached
  runner.py [--arch A] start [--dir D]          boot the guest named D
  runner.py [--arch A] exec [--dir D] -- CMD... run CMD in it (booting it if
                                               none runs)
  runner.py stop [--dir D]                      power it off
  runner.py [--arch A] run [--dir D] -- CMD...  start, exec, stop: one shot

D (default $TOLVAR_GUEST_DIR) names the guest: every command that gives the
same D (its folder's real path) finds the same guest. Its state (pid, port,
secret, architecture, console log) is kept apart from D, in
${XDG_CACHE_HOME:-~/.cache}/tolvarsdk/state/<hash of D's real path>/, 0700,
which the guest never sees; a guest of another architecture there is
refused, never used. The guest sees, each at its own path and read-only,
the tree this script belongs to and the build tree, $TOLVAR_GUEST_SHARE
(else the folder that holds D); never /, a home folder, a folder others may
write to, nor one that holds the state or the image cache. QEMU refuses
every write to a share, whatever the guest's root does, so nothing the
guest or a program under test makes ever reaches the host: Wine's prefixes
and every scratch file live on the guest's own disk, which each boot
starts afresh. The guest reads the boot's secret from a third read-only
share that holds only a copy of it. Every folder on the way from / to D's
folder, to a share, to the state and to the image cache belongs to root or
this user and only they may write to it (or it is sticky), and so does
every link on the way: no one else can swap a path for a link before QEMU
opens it.
exec streams the command's standard output and error as they come and
exits with its status; 125 means the guest failed (no boot, no answer,
QEMU gone, a refusal, an exit status outside 0-255), and the message names
the image and shows the console's last lines. A guest that stops answering
is powered off before that is reported.

QEMU's parent is a keeper process, and QEMU dies with it however it ends:
a runner killed by any signal while it boots the guest, or at any time in
`run`, takes both along; a guest that `start` or `exec` booted outlives
them, to serve later commands, until `stop`, the agent's idle limit or the
end of its keeper. `stop` ends only a QEMU that the pid file names with
its start time and whose environment names its state folder.

The agent in the guest runs a request only with proof of the boot's secret
(32 random bytes, 0600, made afresh at each boot and read by the agent
from its read-only share; never on a command line): an HMAC-SHA256
over the agent's nonce for the connection and the request, which the agent
checks before it reads the request; its answer proves the secret in turn.
The guest's network reaches nothing but that forwarded port.

The x86 guest uses KVM where the image's own kernel, under KVM with `-cpu
host,-arch-capabilities`, runs a first program within
$TOLVAR_GUEST_KVM_LIMIT seconds (default 25), else TCG, and says why; a
boot under KVM whose init says nothing within twice that starts again
under TCG, once, and says so. The line that says the guest is up names the
accelerator. TOLVAR_GUEST_ACCEL=kvm or tcg forces either. The arm64 guest
is always emulated.

The image (Debian's kernel, an initrd, a raw ext4 root with Wine) is built,
as root, by build-image.sh beside this script from the machine's row
(images.py), and kept in ${XDG_CACHE_HOME:-~/.cache}/tolvarsdk/guest/<key>/,
key = hash of the files that define it; that cache must belong to the user
too. Every boot uses it with snapshot=on, so every run
starts from the same clean disk. Anyone may use an image in their own
cache; building one needs root.
"""

import argparse
import os
import signal
import sys

# This tree may be an installed SDK's, or shared read-only with a guest:
# nothing is written into it.
sys.dont_write_bytecode = True

from images import ensure_image  # noqa: E402
from lifecycle import Guest  # noqa: E402
from machines import (DEFAULT, MACHINES, GuestError, machine as find_machine,  # noqa: E402
                      note, seconds)

# What every failure of the guest itself exits with, never a command's own
# status: no boot, no answer, QEMU gone, a refusal, an exit status outside
# 0-255.
GUEST_FAILED = 125


def end_on_signals():
    """SIGTERM and SIGHUP end the command as Ctrl-C does: the connection
    closes, and the agent kills the command's processes."""
    def leave(number, frame):
        raise SystemExit(128 + number)
    signal.signal(signal.SIGTERM, leave)
    signal.signal(signal.SIGHUP, leave)


def main():
    parser = argparse.ArgumentParser(description="The Wine guests, host side.")
    parser.add_argument("action", choices=("image", "start", "exec", "stop", "run"))
    parser.add_argument("--arch", choices=sorted(MACHINES), default=DEFAULT,
                        help="the Wine the guest runs: x86 (32-bit) or arm64")
    parser.add_argument("--dir", default=os.environ.get("TOLVAR_GUEST_DIR"))
    parser.add_argument("--limit", type=float, default=None,
                        help="seconds the command may run (exec, run)")
    arguments = sys.argv[1:]
    command = arguments[arguments.index("--") + 1:] if "--" in arguments else []
    options = parser.parse_args(arguments[:len(arguments) - len(command) - ("--" in arguments)])
    end_on_signals()
    guest = None
    try:
        limit = options.limit or seconds("TOLVAR_GUEST_LIMIT", 1800)
        if options.action == "image":
            key, image, in_use = ensure_image(find_machine(options.arch))
            in_use.close()
            print(image)
            return 0
        if options.action in ("exec", "run") and not command:
            parser.error(f"{options.action} needs a command after --")
        guest = Guest(options.dir, find_machine(options.arch))
        guest.outlives_runner = options.action != "run"
        if options.action == "start":
            guest.start()
        elif options.action == "stop":
            guest.stop()
        elif options.action == "exec":
            return guest.exec(command, limit)
        else:
            try:
                return guest.exec(command, limit)
            finally:
                guest.stop()
        return 0
    except GuestError as error:
        note(str(error))
        return GUEST_FAILED
    except KeyboardInterrupt:
        return 130
    except Exception as error:  # noqa: BLE001 - a failure is reported, never a traceback
        what = f"{type(error).__name__}: {error}"
        if guest is not None:
            guest.stop()
            note(str(guest.failure(f"the guest runner failed ({what}); the guest was powered "
                                   "off")))
        else:
            note(f"the guest runner failed: {what}")
        return GUEST_FAILED


if __name__ == "__main__":
    sys.exit(main())
