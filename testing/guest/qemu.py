"""QEMU's command line for a guest's boot, the choice between KVM and TCG,
and what the guest's console says about a boot."""

import os
import select
import subprocess
import time

from files import open_file, read_file
from keeper import dies_with, end_process
from machines import GuestError, seconds
from wire import AGENT_PORT


# The first words of the guest's init on the console: userspace runs.
INIT_WORD = b"tolvar-init:"
# How much of a console is read for a word in it: a boot says far less.
CONSOLE_READ_LIMIT = 1 << 20
KVM_DEVICE = "/dev/kvm"
# The line that the KVM probe's first process writes, alone on a line
# (the kernel's echo of its command line never is).
KVM_WORD = "tolvar-kvm-boots"


def qemu_escape(text):
    """A value inside QEMU's comma-separated options: a comma is doubled."""
    return text.replace(",", ",,")


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
    return not init_spoke(folder, name)


def init_spoke(folder, name):
    """Whether the guest's init has said a word on the console `name`: the
    kernel handed over to userspace."""
    return INIT_WORD in read_file(folder, name, CONSOLE_READ_LIMIT)


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


def console_last_line(folder, name):
    lines = [line for line in read_file(folder, name, CONSOLE_READ_LIMIT).decode(errors="replace")
             .replace("\r", "").splitlines() if line.strip()]
    return repr(lines[-1][-160:]) if lines else "nothing"
