"""The runner's processes: QEMU under its keeper, which ties QEMU's life to
the runner's or, once let go, to its own; and handles on a process that
name it and never a later one with its pid."""

import ctypes
import os
import select
import signal
import subprocess
import time

from machines import GuestError


# Seconds the keeper of a guest (see Keeper) may take to answer.
KEEPER_SECONDS = 30
PR_SET_PDEATHSIG = 1


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
