#!/usr/bin/python3
"""The Wine guests, host side: Wine runs in a throw-away Debian guest under
QEMU, and each command goes there whole. --arch picks the guest
(machines.py): x86 (the default) runs 32-bit Wine, for hosts that
cannot execute 32-bit x86 code (or TOLVAR_WINE_VM=1); arm64 runs 64-bit
ARM Wine in an emulated aarch64 machine.

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
as root, by build-image.sh beside this script from the machine's row and
kept in ${XDG_CACHE_HOME:-~/.cache}/tolvarsdk/
guest/<key>/, key = hash of the files that define it; that cache must
belong to the user too. Every boot uses it with snapshot=on, so every run
starts from the same clean disk. Anyone may use an image in their own
cache; building one needs root.
"""

import argparse
import ctypes
import errno
import fcntl
import hashlib
import hmac
import json
import os
import select
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import time

from machines import DEFAULT, FILES_DIR, MACHINES, GuestError, machine as find_machine

# The tree this script belongs to, shared with the guest: the source tree
# or an installed SDK, which hold it at the same place (testing/guest/runner.py).
SOURCE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The agent is not baked into the images: every guest runs this one.
AGENT = os.path.join(FILES_DIR, "agent.py")
AGENT_PORT = 7000
FORWARDED = ("TOLVAR_", "WINE", "LANG", "LC_", "TZ")
GUEST_FAILED = 125
# The protocol (the agent has the same constants): a request is at most
# FRAME_LIMIT bytes, and so is every frame of the answer.
FRAME_LIMIT = 1 << 20
PROOF_SIZE = 32
NONCE_SIZE = 32
SECRET_SIZE = 32
# QEMU's environment names the state folder it serves, so that `stop` ends
# that QEMU and never another, whatever the pid file says.
STATE_VARIABLE = "TOLVAR_GUEST_STATE"
# Seconds the keeper of a guest (see Keeper) may take to answer.
KEEPER_SECONDS = 30
PR_SET_PDEATHSIG = 1
# What is kept of a message from the agent.
MESSAGE_LIMIT = 4096
# A state file is small; anything longer is not ours.
STATE_FILE_LIMIT = 4096
IN_USE_KEEP_SECONDS = 7 * 24 * 3600
# The state folder's subfolder that holds only a copy of the boot's secret:
# the guest gets it read-only, at SECRET_MOUNT, and nothing else of the
# state.
SECRET_SHARE = "for-guest"
SECRET_MOUNT = "/run/tolvar-secret"
# The first words of the guest's init on the console: userspace runs.
INIT_WORD = b"tolvar-init:"
KVM_DEVICE = "/dev/kvm"
# The line that the KVM probe's first process writes, alone on a line
# (the kernel's echo of its command line never is).
KVM_WORD = "tolvar-kvm-boots"


def seconds(name, default):
    value = os.environ.get(name, "")
    try:
        return float(value) if value else float(default)
    except ValueError:
        raise GuestError(f"{name} must be a number of seconds, not {value!r}")


def note(text):
    print(f"guest: {text}", file=sys.stderr, flush=True)


def ours(info, what, writable_by_root_too=False):
    """Refuses a file or folder that is not the effective user's, or that
    its group or others may write."""
    uid = os.geteuid()
    if info.st_uid != uid and not (writable_by_root_too and info.st_uid == 0):
        raise GuestError(f"{what} belongs to uid {info.st_uid}, not to this user (uid {uid}): "
                         "it is not used")
    if info.st_mode & 0o022:
        raise GuestError(f"{what} may be written by its group or others (mode "
                         f"{stat.S_IMODE(info.st_mode):04o}): it is not used")


def open_folder(path, what, make=False):
    """An fd for the folder `path`, never through a link, after checking that
    it is ours and that no one else may write to it."""
    if make:
        try:
            os.mkdir(path, 0o700)
        except FileExistsError:
            pass
        except OSError as error:
            raise GuestError(f"cannot make {what} {path}: {error.strerror}")
    try:
        fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError as error:
        if error.errno in (errno.ELOOP, errno.ENOTDIR):
            raise GuestError(f"{what} {path} is not a folder (a link or a file): it is not used")
        raise GuestError(f"cannot open {what} {path}: {error.strerror}")
    try:
        ours(os.fstat(fd), f"{what} {path}")
    except GuestError:
        os.close(fd)
        raise
    return fd


def open_file(folder, name, what, flags=os.O_RDONLY, mode=0o600):
    """Opens `name` in the folder fd `folder`, never through a link (nor a
    FIFO or device); with O_CREAT, only a file we own is accepted."""
    try:
        fd = os.open(name, flags | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK, mode,
                     dir_fd=folder)
    except OSError as error:
        if error.errno == errno.ELOOP:
            raise GuestError(f"{what} is a symbolic link: it is not followed")
        raise
    info = os.fstat(fd)
    if not stat.S_ISREG(info.st_mode) or info.st_uid != os.geteuid():
        os.close(fd)
        raise GuestError(f"{what} is not a plain file of this user: it is not used")
    os.set_blocking(fd, True)
    return fd


def create_file(folder, name, what, mode=0o600):
    """A new file `name` in the folder fd, made with O_EXCL: whatever had the
    name (a link, a file another process left) is removed first, never
    opened."""
    try:
        os.unlink(name, dir_fd=folder)
    except FileNotFoundError:
        pass
    except IsADirectoryError:
        raise GuestError(f"{what} is a folder: it is not used")
    return os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC,
                   mode, dir_fd=folder)


def write_file(folder, name, what, content):
    """Writes `name` whole under a temporary name, then renames it: readers
    see the old or the new content, and a link in its place is replaced."""
    temporary = f".{name}.{os.getpid()}"
    fd = create_file(folder, temporary, what)
    with os.fdopen(fd, "wb") as file:
        file.write(content)
    os.rename(temporary, name, src_dir_fd=folder, dst_dir_fd=folder)


def read_file(folder, name, limit=STATE_FILE_LIMIT):
    try:
        fd = open_file(folder, name, name)
    except (OSError, GuestError):
        return b""
    with os.fdopen(fd, "rb") as file:
        return file.read(limit)


class Lock:
    """flock on `name` in the folder fd, held until closed."""

    def __init__(self, folder, name, what, mode=fcntl.LOCK_EX, wait=True):
        self.fd = open_file(folder, name, what, os.O_RDWR | os.O_CREAT)
        try:
            fcntl.flock(self.fd, mode | (0 if wait else fcntl.LOCK_NB))
        except BaseException:
            os.close(self.fd)
            raise

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def image_key(machine=MACHINES[DEFAULT]):
    digest = hashlib.sha256()
    for name in machine.image_files:
        with open(os.path.join(machine.files_dir, name), "rb") as file:
            content = file.read()
        digest.update(f"{name}\0{len(content)}\0".encode() + content)
    return digest.hexdigest()[:16]


def cache_base():
    return os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")


def cache_root():
    return os.path.join(cache_base(), "tolvarsdk", "guest")


def state_root():
    return os.path.join(cache_base(), "tolvarsdk", "state")


def within(path, folder):
    return path == folder or path.startswith(folder.rstrip("/") + "/")


def console_tail(folder, name, lines=15):
    """The console's last lines, read from its last 64 KiB without following
    a link."""
    try:
        fd = open_file(folder, name, name)
    except (OSError, GuestError):
        return "    (no console log)"
    with os.fdopen(fd, "rb") as file:
        size = os.fstat(file.fileno()).st_size
        file.seek(max(0, size - 65536))
        text = file.read(65536).decode(errors="replace").replace("\r", "")
    tail = [line for line in text.splitlines() if line.strip()][-lines:]
    return "\n".join("    | " + line for line in tail) or "    (console log empty)"


def qemu_escape(text):
    """A value inside QEMU's comma-separated options: a comma is doubled."""
    return text.replace(",", ",,")


def forced_accel():
    forced = os.environ.get("TOLVAR_GUEST_ACCEL", "")
    if forced not in ("", "kvm", "tcg"):
        raise GuestError(f"TOLVAR_GUEST_ACCEL must be kvm, tcg or unset, not {forced!r}")
    return forced


def choose_accel(machine, image):
    """The accelerator ("kvm" or "tcg") for a boot of `image`, and why."""
    forced = forced_accel()
    never = machine.cannot_use_kvm()
    if never and forced == "kvm":
        raise GuestError(f"TOLVAR_GUEST_ACCEL=kvm: the {machine.name} guest never runs under "
                         f"KVM ({never})")
    if never:
        return "tcg", never
    if forced:
        return forced, f"TOLVAR_GUEST_ACCEL={forced}"
    return kvm_boots(machine, image)


def kvm_boots(machine, image):
    """("kvm", why) if the image's own kernel boots under KVM, with the CPU
    the guest gets, and runs a program within TOLVAR_GUEST_KVM_LIMIT
    seconds; else ("tcg", why not). A QEMU started paused proves nothing:
    on some hosts KVM starts, and the guest's kernel then stops after its
    first words. No disk: the initrd's busybox, as the first process,
    writes KVM_WORD, and the kernel then ends (panic=-1, -no-reboot)."""
    if not os.access(KVM_DEVICE, os.R_OK | os.W_OK):
        return "tcg", f"no usable {KVM_DEVICE}"
    limit = seconds("TOLVAR_GUEST_KVM_LIMIT", 25)
    command = machine.qemu + ["-nodefaults", "-no-user-config", "-display", "none",
                              "-no-reboot", "-m", "256"] + machine.cpu("kvm") + [
        "-kernel", os.path.join(image, "vmlinuz"), "-initrd", os.path.join(image, "initrd.gz"),
        "-append", f"console={machine.console} panic=-1 rdinit=/bin/busybox -- echo {KVM_WORD}",
        "-serial", "stdio"]
    started = time.monotonic()
    try:
        probe = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, preexec_fn=dies_with(os.getpid()))
    except OSError as error:
        return "tcg", f"the KVM probe did not start: {error.strerror}"
    said = b""
    try:
        while time.monotonic() - started < limit:
            if not select.select([probe.stdout], [], [], limit - (time.monotonic() - started))[0]:
                break
            chunk = os.read(probe.stdout.fileno(), 65536)
            if not chunk:
                break
            said = (said + chunk)[-65536:]
            if KVM_WORD.encode() in said.replace(b"\r", b"").split(b"\n"):
                return "kvm", (f"the guest's kernel ran a program under KVM in "
                               f"{time.monotonic() - started:.1f} s")
    finally:
        end_process(probe, 2)
        probe.stdout.close()
    lines = [line.strip() for line in said.decode(errors="replace").splitlines() if line.strip()]
    last = f"; its last words: {lines[-1][-160:]!r}" if lines else "; it said nothing"
    if time.monotonic() - started < limit:
        return "tcg", (f"under KVM, QEMU ended (status {probe.returncode}) before the guest's "
                       f"kernel ran a program{last}")
    return "tcg", f"under KVM, the guest's kernel ran no program within {limit:g} s{last}"


def silent_under_kvm(folder, name, since):
    """Whether a boot under KVM that began at `since` has gone
    TOLVAR_GUEST_KVM_LIMIT seconds, twice over, without a word from the
    guest's init on the console `name`."""
    if time.monotonic() - since < 2 * seconds("TOLVAR_GUEST_KVM_LIMIT", 25):
        return False
    return INIT_WORD not in read_file(folder, name, 1 << 20)


def console_last_line(folder, name):
    lines = [line for line in read_file(folder, name, 1 << 20).decode(errors="replace")
             .replace("\r", "").splitlines() if line.strip()]
    return repr(lines[-1][-160:]) if lines else "nothing"


def processors():
    """The guest's processors: TOLVAR_GUEST_CPUS, 1 or 2 (default 2). Each
    emulated processor is a host thread; where two emulated guests share a
    2-core host, two each cost more than they give (the test command then
    sets 1)."""
    value = os.environ.get("TOLVAR_GUEST_CPUS", "") or "2"
    if value not in ("1", "2"):
        raise GuestError(f"TOLVAR_GUEST_CPUS must be 1 or 2, not {value!r}")
    return value


def qemu_command(machine, image, console_fd, append, accel, snapshot=True, port=None,
                 shares=()):
    """QEMU's command for a boot; `shares` are (host path, guest path) in
    the order the guest mounts them, each read-only."""
    command = machine.qemu + ["-nodefaults", "-no-user-config", "-display", "none",
                              "-no-reboot", "-smp", processors(), "-m", "3G"] + machine.cpu(accel)
    # A failed write or read (a full disk) is an error in the guest, not a
    # paused machine that answers no one.
    command += ["-kernel", os.path.join(image, "vmlinuz"),
                "-initrd", os.path.join(image, "initrd.gz"),
                "-append", f"console={machine.console} quiet panic=-1 mitigations=off " + append,
                "-drive", f"file={qemu_escape(os.path.join(image, 'root.img'))},format=raw,"
                "if=virtio,werror=report,rerror=report" + (",snapshot=on" if snapshot else ""),
                # The console file is made by us and reached through its fd.
                "-chardev", f"file,id=console,path=/dev/fd/{console_fd}",
                "-serial", "chardev:console"]
    if port:
        # restrict=on: the guest reaches nothing, the host's loopback
        # included; only the forward to the agent comes in.
        command += ["-netdev", f"user,id=net,restrict=on,"
                    f"hostfwd=tcp:127.0.0.1:{port}-:{AGENT_PORT}",
                    "-device", "virtio-net-pci,netdev=net"]
    # readonly=on: QEMU itself refuses every write, so a guest's root, which
    # may remount or unmount what it likes, still changes nothing on the
    # host; security_model=none shows the host's owners and modes as they
    # are.
    for number, (path, _) in enumerate(shares):
        command += ["-virtfs", f"local,path={qemu_escape(path)},mount_tag=share{number},"
                    "security_model=none,readonly=on"]
    return command


def end_process(process, grace=10):
    """Ends a child: SIGTERM, then SIGKILL after `grace` seconds."""
    if process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(grace)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def set_parent_death_signal(number):
    """Has the kernel send `number` to this process when the thread that
    made it ends, however it ends (0: nothing)."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl.argtypes = (ctypes.c_int, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong,
                           ctypes.c_ulong)
    if libc.prctl(PR_SET_PDEATHSIG, number, 0, 0, 0) != 0:
        error = ctypes.get_errno()
        raise OSError(error, f"prctl(PR_SET_PDEATHSIG): {os.strerror(error)}")


def dies_with(parent):
    """A preexec_fn: the child is killed when `parent` ends, even by
    SIGKILL; if the parent has already gone, at once."""
    def arm():
        set_parent_death_signal(signal.SIGKILL)
        if os.getppid() != parent:
            os.kill(os.getpid(), signal.SIGKILL)
    return arm


class Keeper:
    """QEMU's parent: a process of its own (forked from the runner, in a
    session of its own) that starts QEMU and waits for it. QEMU is killed
    when its keeper ends, however the keeper ends (a parent-death signal),
    and the keeper when the runner that made it ends, until the runner lets
    it go: a guest that `start` or `exec` booted outlives them, to serve
    later commands, and then ends with its keeper; one that `run` booted
    never outlives the runner. The keeper reports to the runner by lines on
    a pipe: "qemu PID START", "failed WHY", "free" (let go) and "exited
    STATUS"; the runner's end of the other pipe says "free" or closes."""

    def __init__(self, command, env, pass_fds, stderr):
        reports, report = os.pipe()
        hold, self.hold = os.pipe()
        runner = os.getpid()
        pid = os.fork()
        if pid == 0:
            try:
                keep(runner, command, env, pass_fds, stderr, hold, report)
            finally:
                os._exit(0)
        os.close(report)
        os.close(hold)
        self.pid = pid
        self.reports = reports
        self.lines = []
        self.buffer = b""
        self.qemu = None
        self.returncode = None
        try:
            line = self.report(KEEPER_SECONDS)
            if line.startswith("failed "):
                raise GuestError(f"cannot start QEMU: {line[7:]}")
            words = line.split()
            if len(words) != 3 or words[0] != "qemu":
                raise GuestError(f"QEMU's keeper did not say within {KEEPER_SECONDS} s that "
                                 f"QEMU started (it said {line!r})")
            self.qemu, self.started = int(words[1]), int(words[2])
        except BaseException:
            self.end()
            raise

    def report(self, timeout):
        """The keeper's next line ("" if it said none within `timeout` s
        or has ended); "exited" lines are taken here."""
        deadline = time.monotonic() + timeout
        while not self.lines and self.reports is not None:
            left = max(0, deadline - time.monotonic())
            if not select.select([self.reports], [], [], left)[0]:
                break
            data = os.read(self.reports, 4096)
            if not data:
                os.close(self.reports)
                self.reports = None
                # A keeper that ended without a word took QEMU with it.
                if self.returncode is None and self.qemu:
                    self.returncode = -signal.SIGKILL
                break
            *lines, self.buffer = (self.buffer + data).split(b"\n")
            for line in lines:
                text = line.decode(errors="replace")
                if text.startswith("exited "):
                    self.returncode = int(text[7:])
                else:
                    self.lines.append(text)
        return self.lines.pop(0) if self.lines else ""

    def poll(self):
        """QEMU's exit status, or None while it runs."""
        self.report(0)
        return self.returncode

    def let_go(self):
        """Lets the keeper, and so QEMU, outlive the runner."""
        try:
            os.write(self.hold, b"free\n")
        except OSError:
            pass
        if self.report(KEEPER_SECONDS) != "free":
            raise GuestError("QEMU's keeper did not take the guest over")
        self.close()

    def end(self, grace=0):
        """Ends QEMU (SIGTERM, which it obeys at once, then after `grace`
        seconds SIGKILL to its keeper, which takes QEMU along) and waits
        until both are gone."""
        qemu = None
        if self.qemu:
            qemu = Process(self.qemu, lambda: self.qemu if live_process(self.qemu, self.started)
                           else None)
        try:
            if qemu and grace and qemu.signal(signal.SIGTERM):
                qemu.ended(grace)
            os.kill(self.pid, signal.SIGKILL)
            os.waitpid(self.pid, 0)
            if qemu:
                qemu.ended(10)
        finally:
            if qemu:
                qemu.__exit__()
            self.close()

    def close(self):
        for fd in (self.hold, self.reports):
            if fd is not None:
                os.close(fd)
        self.hold = self.reports = None


def keep(runner, command, env, pass_fds, stderr, hold, report):
    """The keeper's life (see Keeper): it never returns to the runner's
    code."""
    def say(text):
        try:
            os.write(report, text.encode() + b"\n")
        except OSError:
            pass

    try:
        set_parent_death_signal(signal.SIGKILL)
        if os.getppid() != runner:
            return
        os.setsid()
        for number in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
            signal.signal(number, signal.SIG_DFL)
        # Nothing of the runner's stays open here: not its locks, and not
        # the output of whoever ran it, who would wait for that to close.
        needed = {hold, report, stderr, *pass_fds}
        null = os.open(os.devnull, os.O_RDWR)
        for std in (0, 1, 2):
            if std not in needed:
                os.dup2(stderr if std == 2 else null, std)
        needed.update((0, 1, 2))
        for name in os.listdir("/proc/self/fd"):
            if int(name) not in needed:
                try:
                    os.close(int(name))
                except OSError:
                    pass
        qemu = subprocess.Popen(command, env=env, pass_fds=pass_fds,
                                preexec_fn=dies_with(os.getpid()))
    except Exception as error:  # noqa: BLE001 - said to the runner, which reports it
        say(f"failed {error}")
        return
    for fd in pass_fds:
        os.close(fd)
    say(f"qemu {qemu.pid} {start_time(qemu.pid)}")
    holding = True
    while qemu.poll() is None:
        if holding and select.select([hold], [], [], 1)[0]:
            if os.read(hold, 64) == b"free\n":
                set_parent_death_signal(0)
                say("free")
            # Either way nothing more comes from the runner.
            holding = False
        elif not holding:
            time.sleep(1)
    say(f"exited {qemu.returncode}")


def build_image(machine, partial, key):
    """Builds into `partial`: the files, then the first boot in the guest."""
    note(f"building the {machine.name} guest image {key} (once per change of its files) in "
         f"{partial}")
    script = machine.image_script()
    started = time.monotonic()
    # The builder (debootstrap, chroot, qemu-user) runs as root as the
    # first process of a PID namespace of its own, which dies with this
    # runner, however it ends: every process it started goes with it.
    builder = subprocess.Popen(["unshare", "--pid", "--fork", "--kill-child", script,
                                machine.name, partial],
                               stdin=subprocess.DEVNULL, preexec_fn=dies_with(os.getpid()))
    try:
        builder.wait()
    finally:
        end_process(builder)
    if builder.returncode != 0:
        raise GuestError(f"the guest image {key} could not be built ({script} exited with "
                         f"status {builder.returncode}; its output is above)")
    folder = open_folder(partial, "the partial image")
    try:
        accel, why = choose_accel(machine, partial)
        # A first boot that KVM leaves silent starts again under TCG, once.
        fallback = accel == "kvm" and not forced_accel()
        limit = seconds("TOLVAR_GUEST_FIRST_BOOT_LIMIT", machine.first_boot_limit)
        while True:
            console = create_file(folder, "first-boot.log", "the first boot's console")
            qemu_log = create_file(folder, "qemu.log", "QEMU's log")
            note(f"first boot ({accel.upper()}: {why}): {machine.first_boot}")
            booted = time.monotonic()
            qemu = subprocess.Popen(qemu_command(machine, partial, console,
                                                 "tolvar.mode=first-boot", accel, snapshot=False),
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=qemu_log, pass_fds=(console,),
                                    preexec_fn=dies_with(os.getpid()))
            os.close(console)
            os.close(qemu_log)
            silent = False
            try:
                while qemu.poll() is None and time.monotonic() - booted < limit:
                    if fallback and silent_under_kvm(folder, "first-boot.log", booted):
                        silent = True
                        break
                    time.sleep(1)
                if qemu.poll() is None and not silent:
                    raise GuestError(f"the first boot did not end within {limit:g} s; its last "
                                     "console lines:\n" + console_tail(folder, "first-boot.log"))
            finally:
                end_process(qemu, 2)
            if fallback and INIT_WORD not in read_file(folder, "first-boot.log", 1 << 20):
                last = console_last_line(folder, "first-boot.log")
                os.rename("first-boot.log", "first-boot.kvm.log", src_dir_fd=folder,
                          dst_dir_fd=folder)
                note(f"the first boot under KVM never reached the guest's init (its console, "
                     f"now {partial}/first-boot.kvm.log, said {last} last): it starts again "
                     "under TCG")
                accel, why, fallback = "tcg", "the guest stayed silent under KVM", False
                continue
            break
        if b"tolvar-init: first boot done" not in read_file(folder, "first-boot.log", 1 << 24):
            raise GuestError("the first boot failed; its last console lines:\n"
                             + console_tail(folder, "first-boot.log"))
    finally:
        os.close(folder)
    note(f"image {key} built in {time.monotonic() - started:.0f} s")


def check_image(folder, image):
    for name in ("vmlinuz", "initrd.gz", "root.img"):
        info = os.stat(name, dir_fd=folder, follow_symlinks=False)
        if not stat.S_ISREG(info.st_mode):
            raise GuestError(f"{os.path.join(image, name)} is not a plain file: it is not used")
        ours(info, os.path.join(image, name))


def ensure_image(machine):
    """The cached image's key and folder, with a shared lock on its in-use
    file (a Lock, to be held while a guest boots from it). The image is
    built under a temporary name and renamed when complete, so a half-built
    image is never used. One build at a time per key, under the key's own
    lock (KEY.lock), so that a long build of one architecture's image never
    holds up a boot from another's; the cache's lock is held only to look
    and to rename. Images of other keys that no guest holds and none has
    booted for a week are removed after a build."""
    root = cache_root()
    # QEMU is given the image's files by their paths.
    try:
        root = os.path.join(trusted_folder(os.path.abspath(os.path.dirname(root)), make=True,
                                           mode=0o700), os.path.basename(root))
    except Untrusted as why:
        raise GuestError(f"the guest image cache {root} is not used: {why}")
    cache = open_folder(root, "the guest image cache", make=True)
    key = image_key(machine)
    image = os.path.join(root, key)
    try:
        with Lock(cache, "lock", f"the image cache's lock {root}/lock"):
            missing = not os.path.lexists(image)
        if missing and os.geteuid() != 0:
            raise GuestError(
                f"the guest image {key} is not in {root}, and building it needs root "
                "(debootstrap, chroot, mounts): run the tests as root, or have root build "
                f"it (`testing/guest/runner.py --arch {machine.name} image`) into a cache that is "
                "then yours")
        if missing:
            with Lock(cache, f"{key}.lock", f"the image's build lock {image}.lock"):
                if not os.path.lexists(image):
                    build_new_image(machine, cache, root, key)
        with Lock(cache, "lock", f"the image cache's lock {root}/lock"):
            folder = open_folder(image, f"the guest image {key}")
            try:
                check_image(folder, image)
                in_use = Lock(folder, "in-use", f"{image}/in-use", fcntl.LOCK_SH)
                os.utime(in_use.fd)
            finally:
                os.close(folder)
        return key, image, in_use
    finally:
        os.close(cache)


def build_new_image(machine, cache, root, key):
    """Builds the image of `key` (its build lock held) beside what a build
    of this key left unfinished, which is removed first."""
    image = os.path.join(root, key)
    for name in os.listdir(cache):
        if name.startswith(f"{key}.partial-"):
            shutil.rmtree(os.path.join(root, name), ignore_errors=True)
    partial = f"{image}.partial-{os.getpid()}"
    try:
        build_image(machine, partial, key)
        with Lock(cache, "lock", f"the image cache's lock {root}/lock"):
            os.rename(partial, image)
            remove_stale_images(cache, root, key)
    finally:
        shutil.rmtree(partial, ignore_errors=True)


def remove_stale_images(cache, root, key):
    for name in os.listdir(cache):
        stale = os.path.join(root, name)
        if name == key or ".partial-" in name or not os.path.isdir(stale) or \
                os.path.islink(stale):
            continue
        try:
            folder = open_folder(stale, "a stale image")
        except GuestError:
            continue
        try:
            with Lock(folder, "in-use", "in-use", wait=False) as held:
                if time.time() - os.fstat(held.fd).st_mtime < IN_USE_KEEP_SECONDS:
                    continue
        except (BlockingIOError, OSError, GuestError):
            continue
        finally:
            os.close(folder)
        note(f"removing the image {name}, unused for a week")
        shutil.rmtree(stale, ignore_errors=True)


class SilentUnderKvm(Exception):
    """A boot under KVM whose init never spoke: it starts again under TCG."""


class Untrusted(GuestError):
    """A path that someone other than root or this user could redirect."""


def trusted_folder(path, make=False, mode=0o755):
    """The absolute `path` with its links resolved, after checking every
    step from / with lstat, so that no one but root and this user can
    change where it leads once checked: each folder on the way, and each
    link, belongs to root or this user, and no folder may be written by
    its group or others unless it is sticky (where only an entry's owner
    may rename or remove it). A link is followed only once the folder that
    holds it has passed. With `make`, missing folders are made (`mode`).
    Else Untrusted, saying why."""
    uid = os.geteuid()
    parts = ["/"] + path.split("/")
    resolved = "/"
    links = 0
    while parts:
        name = parts.pop(0)
        if name in ("", "."):
            continue
        if name == "..":
            resolved = os.path.dirname(resolved)
            continue
        here = os.path.join(resolved, name)
        try:
            info = os.lstat(here)
        except FileNotFoundError:
            if not make:
                raise Untrusted(f"{here} does not exist")
            try:
                os.mkdir(here, mode)
            except FileExistsError:
                pass
            except OSError as error:
                raise Untrusted(f"cannot make {here}: {error.strerror}")
            info = os.lstat(here)
        except OSError as error:
            raise Untrusted(f"{here}: {error.strerror}")
        if info.st_uid not in (0, uid):
            raise Untrusted(f"{here} belongs to uid {info.st_uid}, neither root nor this user "
                            f"(uid {uid}), who could put a link in its place")
        if stat.S_ISLNK(info.st_mode):
            links += 1
            if links > 40:
                raise Untrusted(f"{here}: too many links")
            target = os.readlink(here)
            if target.startswith("/"):
                resolved = "/"
            parts[:0] = target.split("/")
            continue
        if not stat.S_ISDIR(info.st_mode):
            raise Untrusted(f"{here} is not a folder")
        if info.st_mode & 0o022 and not info.st_mode & stat.S_ISVTX:
            raise Untrusted(f"{here} may be written by its group or others (mode "
                            f"{stat.S_IMODE(info.st_mode):04o}, not sticky), who could put a "
                            "link in place of what it holds")
        resolved = here
    return resolved


def unsafe_share(path):
    """Why `path` may not be shared with the guest, or None."""
    if path == "/":
        return "it is the root folder"
    home = os.path.realpath(os.path.expanduser("~"))
    if home == path or home.startswith(path + "/"):
        return "it is the home folder or holds it"
    if any(c.isspace() for c in path):
        return "its path has white space"
    try:
        info = os.stat(path)
    except OSError as error:
        return error.strerror
    if not stat.S_ISDIR(info.st_mode):
        return "it is not a folder"
    if info.st_uid not in (os.geteuid(), 0) or info.st_mode & 0o022:
        return "it is not this user's alone (others own it or may write to it)"
    return None


def state_folder(name, make=False):
    """The state folder of the guest named `name` (--dir): a folder of its
    own under state_root(), named by a hash of the name's real path, so
    that every command that names the guest alike finds it. It is outside
    the trees shared with the guest, which could otherwise rewrite the
    host's port and pid files; the name itself is never made or read."""
    try:
        parent = trusted_folder(os.path.dirname(name), make=make)
    except Untrusted as why:
        raise GuestError(f"the guest state folder {name} is not used: {why}")
    named = os.path.join(parent, os.path.basename(name))
    root = state_root()
    # QEMU is given the secret's folder here by its path.
    try:
        root = os.path.join(trusted_folder(os.path.dirname(root), make=True, mode=0o700),
                            os.path.basename(root))
    except Untrusted as why:
        raise GuestError(f"the guest state folders' home {root} is not used: {why}")
    os.close(open_folder(root, "the guest state folders' home", make=True))
    return os.path.join(root, hashlib.sha256(named.encode()).hexdigest()[:16])


class Guest:
    """A guest of one build: named `state`, its state in state_folder(),
    its trees shared."""

    def __init__(self, state, machine):
        self.machine = machine
        if not state:
            raise GuestError("no guest state folder: give --dir or set TOLVAR_GUEST_DIR")
        self.state = os.path.abspath(state)
        self.real_state = state_folder(self.state, make=True)
        self.folder = open_folder(self.real_state, "the guest state folder", make=True)
        # A guest that `start` or `exec` boots serves later commands; one
        # that `run` boots ends with it.
        self.outlives_runner = True
        # The secret is 0600 in a 0700 folder.
        os.fchmod(self.folder, 0o700)
        self.console = os.path.join(self.real_state, "console.log")

    def _read(self, name):
        return read_file(self.folder, name).decode(errors="replace").strip()

    @property
    def key(self):
        key = self._read("key")
        return key if key.isalnum() else image_key(self.machine)

    def failure(self, what, key=None):
        return GuestError(f"{what} (guest image {key or self.key}, console {self.console}); "
                          "its last console lines:\n" + console_tail(self.folder, "console.log"))

    def shares(self):
        """What the guest mounts, in this order, as (host path, guest
        path), each read-only: the tree this script belongs to and the
        build tree (TOLVAR_GUEST_SHARE, else the folder that holds the
        guest's name), each at its own path, a tree inside the other
        needing no share of its own; then SECRET_SHARE at SECRET_MOUNT.
        Neither tree may hold the state folder or the image cache, nor lie
        inside them."""
        build = os.environ.get("TOLVAR_GUEST_SHARE") or os.path.dirname(self.state)
        trees = []
        for path in (SOURCE_ROOT, build):
            # QEMU opens a share by its path, after these checks.
            try:
                real = trusted_folder(os.path.abspath(path))
            except Untrusted as why:
                raise GuestError(f"cannot share {path} with the guest: {why}; name the build "
                                 "tree in TOLVAR_GUEST_SHARE or put the state folder in it")
            why = unsafe_share(real)
            if why:
                raise GuestError(f"cannot share {real} with the guest: {why}; name the build "
                                 "tree in TOLVAR_GUEST_SHARE or put the state folder in it")
            trees.append(real)
        for kept, what in ((self.real_state, "the guest's state folder"),
                           (os.path.realpath(cache_root()), "the guest image cache")):
            for tree in trees:
                if within(kept, tree) or within(tree, kept):
                    raise GuestError(f"{what} {kept} and the share {tree} overlap: the guest "
                                     "would see what the host trusts; keep the cache "
                                     "(XDG_CACHE_HOME, else ~/.cache) out of the shared trees")
        shared = []
        for tree in sorted(set(trees), key=len):
            if not any(within(tree, outer) for outer in shared):
                shared.append(tree)
        return [(tree, tree) for tree in shared] + [
            (os.path.join(self.real_state, SECRET_SHARE), SECRET_MOUNT)]

    def pid(self):
        """The pid of this state's QEMU, if it runs: a process of ours,
        started when the pid file says, running qemu-system, with this
        state folder in its environment."""
        try:
            pid, started = (int(word) for word in self._read("pid").split())
            if not live_process(pid, started) or os.stat(f"/proc/{pid}").st_uid != os.geteuid():
                return None
            if not os.path.basename(os.readlink(f"/proc/{pid}/exe")).startswith("qemu-system"):
                return None
            # The runner puts it first.
            marker = f"{STATE_VARIABLE}={self.real_state}\0".encode()
            with open(f"/proc/{pid}/environ", "rb") as file:
                if file.read(len(marker)) != marker:
                    return None
        except (ValueError, OSError):
            return None
        return pid

    def port(self):
        port = self._read("port")
        return int(port) if port.isdigit() and 0 < int(port) < 65536 else 0

    def secret(self):
        try:
            fd = open_file(self.folder, "secret", f"the guest's secret {self.real_state}/secret")
        except FileNotFoundError:
            return b""
        except OSError as error:
            raise GuestError(f"cannot read the guest's secret: {error.strerror}")
        with os.fdopen(fd, "rb") as file:
            if stat.S_IMODE(os.fstat(file.fileno()).st_mode) != 0o600:
                raise GuestError(f"the guest's secret {self.real_state}/secret is not 0600: "
                                 "it is not used")
            return bytes.fromhex(file.read(2 * SECRET_SIZE + 1).decode(errors="replace").strip()
                                 or "")

    def connect(self, request, timeout):
        """A connection to the agent that carries `request` with its proof;
        the agent's proof is checked before anything it says is trusted."""
        secret = self.secret()
        if len(secret) < SECRET_SIZE:
            raise ValueError("no secret for this guest")
        sock = socket.create_connection(("127.0.0.1", self.port()), timeout=timeout)
        try:
            nonce = read_exactly(sock, NONCE_SIZE)
            body = json.dumps(request).encode()
            proof = hmac.new(secret, b"request\0" + nonce + body, hashlib.sha256).digest()
            sock.sendall(struct.pack(">I", len(body)) + proof + body)
            answer = read_exactly(sock, PROOF_SIZE)
            expected = hmac.new(secret, b"answer\0" + nonce + proof, hashlib.sha256).digest()
            if not hmac.compare_digest(answer, expected):
                raise ValueError("the answer on the guest's port does not prove its secret")
        except BaseException:
            sock.close()
            raise
        return sock

    def ping(self, timeout):
        try:
            with self.connect({"ping": True}, timeout) as sock:
                kind, payload = read_frame(sock)
                return kind == b"x"
        except (OSError, ValueError):
            return False

    def start(self):
        with Lock(self.folder, "lock", f"the guest's lock {self.real_state}/lock"):
            running = self._read("arch") or DEFAULT
            if self.pid() and running != self.machine.name:
                raise GuestError(f"the guest of {self.state} runs {running} Wine, not "
                                 f"{self.machine.name}: give each architecture a state folder "
                                 "of its own")
            if self.pid():
                deadline = time.monotonic() + 60
                while time.monotonic() < deadline:
                    if self.ping(10):
                        return
                    if not self.pid():
                        break
                    time.sleep(1)
                else:
                    error = self.failure("the running guest did not answer for 60 s; it was "
                                         "powered off")
                    self.stop()
                    raise error
            self._boot()

    def _boot(self):
        shares = self.shares()
        key, image, in_use = ensure_image(self.machine)
        try:
            accel, why = choose_accel(self.machine, image)
            port = free_port()
            secret = os.urandom(SECRET_SIZE).hex() + "\n"
            with os.fdopen(create_file(self.folder, "secret", "the guest's secret"), "w") as file:
                file.write(secret)
            # The guest's copy, in a folder of its own that holds nothing
            # else: the guest reads it there, and can change nothing.
            for_guest = open_folder(os.path.join(self.real_state, SECRET_SHARE),
                                    "the guest's secret folder", make=True)
            try:
                for name in os.listdir(for_guest):
                    os.unlink(name, dir_fd=for_guest)
                with os.fdopen(create_file(for_guest, "secret", "the guest's secret"), "w") as file:
                    file.write(secret)
            finally:
                os.close(for_guest)
            append = " ".join([f"tolvar.mode=serve tolvar.agent={AGENT} tolvar.port={AGENT_PORT}",
                               f"tolvar.idle={seconds('TOLVAR_GUEST_IDLE', 300):g}",
                               f"tolvar.secret={SECRET_MOUNT}/secret"]
                              + [f"tolvar.share=share{number}:{mount}"
                                 for number, (_, mount) in enumerate(shares)])
            for name, value in (("key", key), ("arch", self.machine.name), ("port", port),
                                ("pid", ""), ("name", self.state)):
                write_file(self.folder, name, name, f"{value}\n".encode())
            # A boot that KVM leaves silent starts again under TCG, once.
            fallback = accel == "kvm" and not forced_accel()
            while True:
                qemu, started = self._launch(image, append, accel, port, shares, in_use)
                try:
                    self._wait_for_agent(qemu, started, key, fallback)
                    break
                except SilentUnderKvm as silent:
                    qemu.end(5)
                    note(f"the {self.machine.name} guest never reached its init under KVM "
                         f"({silent}; its console is now {self.console}.previous): it boots "
                         "again under TCG")
                    accel, why, fallback = "tcg", "the guest stayed silent under KVM", False
                except BaseException:
                    qemu.end(5)
                    raise
                finally:
                    qemu.close()
        finally:
            in_use.close()
        note(f"{self.machine.name} guest up in {time.monotonic() - started:.1f} s "
             f"({accel.upper()}: {why}; image "
             f"{key}, port {port}, console {self.console})")

    def _launch(self, image, append, accel, port, shares, in_use):
        """QEMU, started by its keeper, and when."""
        try:
            os.rename("console.log", "console.log.previous", src_dir_fd=self.folder,
                      dst_dir_fd=self.folder)
        except FileNotFoundError:
            pass
        console = create_file(self.folder, "console.log", "the guest's console log")
        qemu_log = create_file(self.folder, "qemu.log", "QEMU's log")
        started = time.monotonic()
        # QEMU holds the image's in-use lock for its life, so that no other
        # run removes the image under it; its keeper runs in a session of
        # its own, so that ending one test's process group never ends it.
        # Its environment names this state folder.
        env = {STATE_VARIABLE: self.real_state}
        env.update((name, value) for name, value in os.environ.items()
                   if name != STATE_VARIABLE)
        try:
            qemu = Keeper(qemu_command(self.machine, image, console, append, accel, port=port,
                                       shares=shares),
                          env, (in_use.fd, console), qemu_log)
        finally:
            os.close(console)
            os.close(qemu_log)
        try:
            write_file(self.folder, "pid", "pid", f"{qemu.qemu} {qemu.started}\n".encode())
        except BaseException:
            qemu.end(5)
            raise
        return qemu, started

    def _wait_for_agent(self, qemu, started, key, fallback):
        """Waits until the agent answers; with `fallback`, SilentUnderKvm
        when QEMU ends, or stays silent, before the guest's init speaks."""
        boot_limit = seconds("TOLVAR_GUEST_BOOT_LIMIT", 300)
        while not self.ping(10):
            if qemu.poll() is not None:
                if fallback and INIT_WORD not in read_file(self.folder, "console.log", 1 << 20):
                    raise SilentUnderKvm(f"QEMU ended with status {qemu.returncode}; its "
                                         "console said "
                                         + console_last_line(self.folder, "console.log"))
                said = read_file(self.folder, "qemu.log").decode(errors="replace").strip()
                raise self.failure(f"QEMU exited with status {qemu.returncode} while booting"
                                   + (f": {said}" if said else ""), key)
            if fallback and silent_under_kvm(self.folder, "console.log", started):
                raise SilentUnderKvm(f"its console said {console_last_line(self.folder, 'console.log')} "
                                     f"last, after {time.monotonic() - started:.0f} s")
            if time.monotonic() - started > boot_limit:
                raise self.failure(f"the guest did not answer within {boot_limit:g} s of "
                                   "booting; it was powered off", key)
            time.sleep(1)
        if self.outlives_runner:
            qemu.let_go()

    def stop(self):
        """Ends this state's QEMU, if it runs: by pid, start time and the
        state folder its environment names, never another process."""
        pid = self.pid()
        if not pid:
            return
        with Process(pid, self.pid) as qemu:
            if qemu.signal(signal.SIGTERM) and not qemu.ended(10):
                qemu.signal(signal.SIGKILL)
                qemu.ended(5)

    def stopped_failure(self, what):
        """The failure of a guest that stopped answering: QEMU is ended
        first (reading its console after), so that none is left behind."""
        self.stop()
        return self.failure(what + "; the guest was powered off")

    def exec(self, argv, limit):
        """Runs argv in the guest; returns its exit status."""
        self.start()
        env = {name: value for name, value in os.environ.items() if name.startswith(FORWARDED)}
        request = {"argv": argv, "cwd": os.getcwd(), "env": env, "limit": limit}
        try:
            sock = self.connect(request, 30)
        except (OSError, ValueError) as error:
            raise self.stopped_failure(f"cannot reach the guest's agent: {error}")
        silence = seconds("TOLVAR_GUEST_SILENCE", 120)
        with sock:
            outputs = {b"o": sys.stdout.buffer, b"e": sys.stderr.buffer}
            said = []
            while True:
                ready, _, _ = select.select([sock], [], [], silence)
                if not ready:
                    raise self.stopped_failure(f"the guest sent nothing for {silence:g} s while "
                                               f"running {argv[0]}")
                try:
                    kind, payload = read_frame(sock)
                except (OSError, ValueError) as error:
                    # A panicking guest takes a moment to end QEMU.
                    deadline = time.monotonic() + 5
                    while self.pid() and time.monotonic() < deadline:
                        time.sleep(0.2)
                    if said and any(text.startswith("request refused") for text in said):
                        raise self.failure(" ".join(said))
                    state = "QEMU has exited" if not self.pid() else "the connection broke"
                    raise self.stopped_failure(f"{state} while running {argv[0]} ({error})")
                if kind in outputs:
                    outputs[kind].write(payload)
                    outputs[kind].flush()
                elif kind == b"!":
                    # The agent's messages are short; a guest's flood of
                    # them is cut and keeps no more than the last few.
                    said = said[-7:] + [payload[:MESSAGE_LIMIT].decode(errors="replace")]
                    note(said[-1])
                elif kind == b"x":
                    status = exit_status(payload)
                    if status is None:
                        raise self.stopped_failure(
                            f"the guest gave {shown(payload)} as the exit status of {argv[0]}, "
                            "not a number from 0 to 255")
                    return status


def exit_status(payload):
    """The exit status that `payload` gives in decimal, if it is one: 0 to
    255, plain digits only. A larger number would be cut to its low byte by
    sys.exit (256 passing as 0), so a guest could turn a failure into a
    pass."""
    if not (payload.isdigit() and len(payload) <= 3):
        return None
    status = int(payload)
    return status if status <= 255 else None


def shown(payload, limit=40):
    """What the guest sent, quoted and cut short."""
    if len(payload) <= limit:
        return repr(payload)
    return f"{payload[:limit]!r}... ({len(payload)} bytes)"


def start_time(pid):
    with open(f"/proc/{pid}/stat", "rb") as file:
        return int(file.read().rsplit(b")", 1)[1].split()[19])


def live_process(pid, started):
    """Whether `pid` is still the process that started at `started` (in
    clock ticks after boot) and has not ended."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as file:
            fields = file.read().rsplit(b")", 1)[1].split()
        return int(fields[19]) == started and fields[0] not in (b"Z", b"X")
    except (OSError, ValueError, IndexError):
        return False


class Process:
    """A handle on the process `pid` while `check()` still names it: the
    handle (a pidfd) keeps naming that process if its pid is reused, so a
    signal reaches it or nothing."""

    def __init__(self, pid, check):
        self.fd = None
        try:
            self.fd = os.pidfd_open(pid)
        except (AttributeError, OSError):
            pass
        # Checked again now that the handle is held.
        self.pid = pid if check() == pid else None

    def signal(self, number):
        """Sends `number`; False if the process has ended."""
        try:
            if self.pid is None:
                return False
            if self.fd is not None:
                signal.pidfd_send_signal(self.fd, number)
            else:
                os.kill(self.pid, number)
            return True
        except ProcessLookupError:
            return False

    def ended(self, timeout):
        """Whether the process ends within `timeout` seconds."""
        if self.fd is not None:
            return bool(select.select([self.fd], [], [], timeout)[0])
        deadline = time.monotonic() + timeout
        while os.path.exists(f"/proc/{self.pid}") and time.monotonic() < deadline:
            time.sleep(0.1)
        return not os.path.exists(f"/proc/{self.pid}")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.fd is not None:
            os.close(self.fd)


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def read_exactly(sock, count):
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            raise ValueError("the guest closed the connection")
        data += chunk
    return data


def read_frame(sock):
    header = read_exactly(sock, 5)
    size = struct.unpack(">I", header[1:])[0]
    if size > FRAME_LIMIT:
        raise ValueError(f"the guest sent a frame of {size} bytes (at most {FRAME_LIMIT})")
    return header[:1], read_exactly(sock, size)


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
