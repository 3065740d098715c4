#!/usr/bin/python3
"""The 32-bit Wine guest, host side: for hosts that cannot execute 32-bit
x86 code (or TOLVAR_WINE_VM=1), Wine runs in a throw-away Debian guest under
QEMU, and each command goes there whole.

  guest.py image                     build the image unless it is cached
  guest.py start [--dir D]           boot the guest of build state D
  guest.py exec [--dir D] -- CMD...  run CMD in it (booting it if none runs)
  guest.py stop [--dir D]            power it off
  guest.py run [--dir D] -- CMD...   start, exec, stop: a one-shot run

D (default $TOLVAR_GUEST_DIR) holds the running guest's pid, port and
console log; it sits in the build tree, which the guest shares at the same
path, as it shares the source tree. exec streams the command's standard
output and error as they come and exits with its status; 125 means the
guest failed (no boot, no answer, QEMU gone), and the message names the
image and shows the console's last lines.

The image (Debian's kernel, an initrd, a raw ext4 root with Wine) is built
by tools/wine/guest/build-image.sh and kept in
${XDG_CACHE_HOME:-~/.cache}/tolvarsdk/guest/<key>/, key = hash of the files
that define it. Every boot uses it with snapshot=on, so every run starts
from the same clean disk.
"""

import argparse
import contextlib
import fcntl
import hashlib
import json
import os
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import time

# The tree this script belongs to, shared with the guest: the source tree
# (tools/wine/guest.py) or an installed SDK (testing/wine/guest.py).
SOURCE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
GUEST_FILES_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "guest")
# Exactly what the image is made from; the agent is not baked in.
IMAGE_FILES = ("build-image.sh", "packages", "init")
AGENT = os.path.join(GUEST_FILES_DIR, "agent.py")
AGENT_PORT = 7000
FORWARDED = ("TOLVAR_", "WINE", "LANG", "LC_", "TZ")
GUEST_FAILED = 125


def seconds(name, default):
    return float(os.environ.get(name, default))


BOOT_LIMIT = seconds("TOLVAR_GUEST_BOOT_LIMIT", 300)
FIRST_BOOT_LIMIT = seconds("TOLVAR_GUEST_FIRST_BOOT_LIMIT", 1200)
# The agent sends a heartbeat every 5 s while a command runs: this much
# silence means the guest itself stopped (a kernel panic, a hang).
SILENCE_LIMIT = seconds("TOLVAR_GUEST_SILENCE", 120)
COMMAND_LIMIT = seconds("TOLVAR_GUEST_LIMIT", 1800)
IDLE_LIMIT = seconds("TOLVAR_GUEST_IDLE", 300)


class GuestError(Exception):
    pass


def note(text):
    print(f"guest: {text}", file=sys.stderr, flush=True)


@contextlib.contextmanager
def locked(path, mode=fcntl.LOCK_EX):
    with open(path, "a") as lock:
        fcntl.flock(lock, mode)
        yield lock


def image_key():
    digest = hashlib.sha256()
    for name in IMAGE_FILES:
        with open(os.path.join(GUEST_FILES_DIR, name), "rb") as file:
            content = file.read()
        digest.update(f"{name}\0{len(content)}\0".encode() + content)
    return digest.hexdigest()[:16]


def cache_root():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "tolvarsdk", "guest")


def console_tail(console, lines=15):
    try:
        with open(console, "rb") as file:
            text = file.read().decode(errors="replace").replace("\r", "")
    except OSError:
        return "    (no console log)"
    tail = [line for line in text.splitlines() if line.strip()][-lines:]
    return "\n".join("    | " + line for line in tail) or "    (console log empty)"


def failure(what, key, console):
    return GuestError(f"{what} (guest image {key}, console {console}); its last console lines:\n"
                      + console_tail(console))


def qemu_escape(path):
    return path.replace(",", ",,")


def qemu_command(image, console, append, snapshot=True, port=None, shares=()):
    # Software emulation (TCG): the hosts this is for have no KVM. -cpu max
    # alone oopses on the first IRET of 32-bit Wine code under QEMU 7.2's
    # TCG with SMAP.
    command = ["qemu-system-x86_64", "-nodefaults", "-no-user-config", "-display", "none",
               "-no-reboot", "-smp", "2", "-m", "3G", "-accel", "tcg,thread=multi",
               "-cpu", "max,-smap",
               "-kernel", os.path.join(image, "vmlinuz"),
               "-initrd", os.path.join(image, "initrd.gz"),
               "-append", "console=ttyS0 quiet panic=-1 mitigations=off " + append,
               "-drive", f"file={qemu_escape(os.path.join(image, 'root.img'))},format=raw,"
               "if=virtio" + (",snapshot=on" if snapshot else ""),
               "-chardev", f"file,id=console,path={qemu_escape(console)}",
               "-serial", "chardev:console"]
    if port:
        command += ["-netdev", f"user,id=net,hostfwd=tcp:127.0.0.1:{port}-:{AGENT_PORT}",
                    "-device", "virtio-net-pci,netdev=net"]
    for number, path in enumerate(shares):
        command += ["-virtfs", f"local,path={qemu_escape(path)},mount_tag=share{number},"
                    "security_model=none"]
    return command


def build_image(partial, key):
    """Builds into `partial`: the files, then the first boot in the guest."""
    note(f"building the guest image {key} (once per change of its files) in {partial}")
    script = os.path.join(GUEST_FILES_DIR, "build-image.sh")
    command = [script, partial] if os.geteuid() == 0 else ["sudo", script, partial]
    started = time.monotonic()
    if subprocess.run(command).returncode != 0:
        raise GuestError(f"the guest image {key} could not be built ({script})")
    console = os.path.join(partial, "first-boot.log")
    note("first boot: configuring the i386 packages and making the win32 prefix template")
    qemu = subprocess.Popen(qemu_command(partial, console, "tolvar.mode=first-boot", snapshot=False),
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=open(os.path.join(partial, "qemu.log"), "wb"))
    try:
        qemu.wait(FIRST_BOOT_LIMIT)
    except subprocess.TimeoutExpired:
        qemu.kill()
        qemu.wait()
        raise failure(f"the first boot did not end within {FIRST_BOOT_LIMIT:g} s", key, console)
    with open(console, "rb") as file:
        if b"tolvar-init: first boot done" not in file.read():
            raise failure("the first boot failed", key, console)
    note(f"image {key} built in {time.monotonic() - started:.0f} s")


def ensure_image():
    """The cached image's folder, built under a temporary name and renamed
    when complete, so a half-built image is never used. One build at a
    time per cache; images of other keys are removed once a new one is
    complete, unless a running guest holds them."""
    root = cache_root()
    os.makedirs(root, exist_ok=True)
    key = image_key()
    image = os.path.join(root, key)
    with locked(os.path.join(root, "lock")):
        if os.path.isdir(image):
            return key, image
        for name in os.listdir(root):
            if ".partial-" in name:
                shutil.rmtree(os.path.join(root, name), ignore_errors=True)
        partial = os.path.join(root, f"{key}.partial-{os.getpid()}")
        try:
            build_image(partial, key)
            os.rename(partial, image)
        finally:
            shutil.rmtree(partial, ignore_errors=True)
        for name in os.listdir(root):
            stale = os.path.join(root, name)
            if name != key and os.path.isdir(stale):
                with open(os.path.join(stale, "in-use"), "a") as lock:
                    try:
                        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    except BlockingIOError:
                        continue
                note(f"removing the stale image {name}")
                shutil.rmtree(stale, ignore_errors=True)
    return key, image


class Guest:
    """A guest of one build: its state in `state`, its files shared."""

    def __init__(self, state):
        if not state:
            raise GuestError("no guest state folder: give --dir or set TOLVAR_GUEST_DIR")
        self.state = os.path.abspath(state)
        self.console = os.path.join(self.state, "console.log")

    def _read(self, name):
        try:
            with open(os.path.join(self.state, name)) as file:
                return file.read().strip()
        except OSError:
            return ""

    @property
    def key(self):
        return self._read("key") or image_key()

    def shares(self):
        """The source tree and the build tree above the state folder, each
        at its own path; a tree inside the other needs no share of its own."""
        shares = []
        for path in sorted({SOURCE_ROOT, os.path.dirname(self.state)}, key=len):
            if not any(path == share or path.startswith(share + "/") for share in shares):
                shares.append(path)
        for path in shares:
            if any(c.isspace() for c in path):
                raise GuestError(f"cannot share {path!r} with the guest: a path with white space")
        return shares

    def pid(self):
        """The pid of this state's QEMU, if it runs."""
        try:
            pid = int(self._read("pid"))
            with open(f"/proc/{pid}/cmdline", "rb") as file:
                cmdline = file.read()
        except (ValueError, OSError):
            return None
        return pid if b"qemu-system" in cmdline and self.console.encode() in cmdline else None

    def port(self):
        return int(self._read("port") or 0)

    def ping(self, timeout):
        try:
            with socket.create_connection(("127.0.0.1", self.port()), timeout=timeout) as sock:
                send_request(sock, {"ping": True})
                kind, payload = read_frame(sock)
                return kind == b"x"
        except (OSError, ValueError):
            return False

    def start(self):
        os.makedirs(self.state, exist_ok=True)
        with locked(os.path.join(self.state, "lock")):
            if self.pid():
                deadline = time.monotonic() + 60
                while time.monotonic() < deadline:
                    if self.ping(10):
                        return
                    if not self.pid():
                        break
                    time.sleep(1)
                else:
                    raise failure("the running guest does not answer", self.key, self.console)
            self._boot()

    def _boot(self):
        key, image = ensure_image()
        port = free_port()
        shares = self.shares()
        append = " ".join([f"tolvar.mode=serve tolvar.agent={AGENT} tolvar.port={AGENT_PORT}",
                           f"tolvar.idle={IDLE_LIMIT:g}"]
                          + [f"tolvar.share=share{n}:{path}" for n, path in enumerate(shares)])
        for name, value in (("key", key), ("port", port), ("pid", "")):
            with open(os.path.join(self.state, name), "w") as file:
                file.write(f"{value}\n")
        if os.path.exists(self.console):
            os.replace(self.console, self.console + ".previous")
        started = time.monotonic()
        # QEMU holds the image's in-use lock for its life, so that no
        # other run removes the image under it; it runs in a session of its
        # own, so that ending one test's process group never ends it.
        in_use = open(os.path.join(image, "in-use"), "a")
        fcntl.flock(in_use, fcntl.LOCK_SH)
        try:
            qemu = subprocess.Popen(qemu_command(image, self.console, append, port=port,
                                                 shares=shares),
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=open(os.path.join(self.state, "qemu.log"), "wb"),
                                    pass_fds=(in_use.fileno(),), start_new_session=True)
        except OSError as error:
            raise GuestError(f"cannot start QEMU: {error}")
        finally:
            in_use.close()
        with open(os.path.join(self.state, "pid"), "w") as file:
            file.write(f"{qemu.pid}\n")
        while not self.ping(10):
            if qemu.poll() is not None:
                with open(os.path.join(self.state, "qemu.log"), errors="replace") as log:
                    said = log.read().strip()
                raise failure(f"QEMU exited with status {qemu.returncode} while booting"
                              + (f": {said}" if said else ""), key, self.console)
            if time.monotonic() - started > BOOT_LIMIT:
                self.stop()
                raise failure(f"the guest did not answer within {BOOT_LIMIT:g} s of booting",
                              key, self.console)
            time.sleep(1)
        note(f"guest up in {time.monotonic() - started:.1f} s (image {key}, port {port}, "
             f"console {self.console})")

    def stop(self):
        pid = self.pid()
        if not pid:
            return
        os.kill(pid, signal.SIGTERM)
        deadline = time.monotonic() + 10
        while self.pid() and time.monotonic() < deadline:
            time.sleep(0.2)
        if self.pid():
            os.kill(pid, signal.SIGKILL)

    def exec(self, argv, limit):
        """Runs argv in the guest; returns its exit status."""
        self.start()
        env = {name: value for name, value in os.environ.items() if name.startswith(FORWARDED)}
        request = {"argv": argv, "cwd": os.getcwd(), "env": env, "limit": limit}
        try:
            sock = socket.create_connection(("127.0.0.1", self.port()), timeout=30)
        except OSError as error:
            raise failure(f"cannot reach the guest's agent: {error}", self.key, self.console)
        with sock:
            send_request(sock, request)
            outputs = {b"o": sys.stdout.buffer, b"e": sys.stderr.buffer}
            while True:
                ready, _, _ = select.select([sock], [], [], SILENCE_LIMIT)
                if not ready:
                    raise failure(f"the guest sent nothing for {SILENCE_LIMIT:g} s while running "
                                  f"{argv[0]}", self.key, self.console)
                try:
                    kind, payload = read_frame(sock)
                except (OSError, ValueError) as error:
                    # A panicking guest takes a moment to end QEMU.
                    deadline = time.monotonic() + 5
                    while self.pid() and time.monotonic() < deadline:
                        time.sleep(0.2)
                    state = "QEMU has exited" if not self.pid() else "the connection broke"
                    raise failure(f"{state} while running {argv[0]} ({error})", self.key,
                                  self.console)
                if kind in outputs:
                    outputs[kind].write(payload)
                    outputs[kind].flush()
                elif kind == b"!":
                    note(payload.decode(errors="replace"))
                elif kind == b"x":
                    return int(payload)


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def send_request(sock, request):
    body = json.dumps(request).encode()
    sock.sendall(struct.pack(">I", len(body)) + body)


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
    return header[:1], read_exactly(sock, struct.unpack(">I", header[1:])[0])


def end_on_signals():
    """SIGTERM and SIGHUP end the command as Ctrl-C does: the connection
    closes, and the agent kills the command's process group."""
    def leave(number, frame):
        raise SystemExit(128 + number)
    signal.signal(signal.SIGTERM, leave)
    signal.signal(signal.SIGHUP, leave)


def main():
    parser = argparse.ArgumentParser(description="The 32-bit Wine guest, host side.")
    parser.add_argument("action", choices=("image", "start", "exec", "stop", "run"))
    parser.add_argument("--dir", default=os.environ.get("TOLVAR_GUEST_DIR"))
    parser.add_argument("--limit", type=float, default=COMMAND_LIMIT,
                        help="seconds the command may run (exec, run)")
    arguments = sys.argv[1:]
    command = arguments[arguments.index("--") + 1:] if "--" in arguments else []
    options = parser.parse_args(arguments[:len(arguments) - len(command) - ("--" in arguments)])
    end_on_signals()
    try:
        if options.action == "image":
            print(ensure_image()[1])
            return 0
        guest = Guest(options.dir)
        if options.action == "start":
            guest.start()
        elif options.action == "stop":
            guest.stop()
        elif not command:
            parser.error(f"{options.action} needs a command after --")
        elif options.action == "exec":
            return guest.exec(command, options.limit)
        else:
            try:
                return guest.exec(command, options.limit)
            finally:
                guest.stop()
        return 0
    except GuestError as error:
        note(str(error))
        return GUEST_FAILED
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
