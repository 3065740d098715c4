"""A guest's life, host side: its state folder, the trees it shares, its
boot, the commands it runs for the host over the agent's wire, and its
end."""

import hashlib
import hmac
import json
import os
import select
import signal
import socket
import stat
import sys
import time

import wire
from files import (Lock, Untrusted, create_file, open_file, open_folder, read_file,
                   trusted_folder, unsafe_share, within, write_file)
from images import cache_base, cache_root, ensure_image, image_key
from keeper import Keeper, Process, live_process
from machines import DEFAULT, FILES_DIR, GuestError, note, seconds
from qemu import (choose_accel, console_last_line, console_tail, forced_accel, init_spoke,
                  qemu_command, silent_under_kvm)


# The tree these files belong to, shared with the guest: the source tree
# or an installed SDK, which hold them at the same place (testing/guest/).
SOURCE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The agent is not baked into the images: every guest runs this one.
AGENT = os.path.join(FILES_DIR, "agent.py")
FORWARDED = ("TOLVAR_", "WINE", "LANG", "LC_", "TZ")
# QEMU's environment names the state folder it serves, so that `stop` ends
# that QEMU and never another, whatever the pid file says.
STATE_VARIABLE = "TOLVAR_GUEST_STATE"
# What is kept of a message from the agent.
MESSAGE_LIMIT = 4096
# The state folder's subfolder that holds only a copy of the boot's secret:
# the guest gets it read-only, at SECRET_MOUNT, and nothing else of the
# state.
SECRET_SHARE = "for-guest"
SECRET_MOUNT = "/run/tolvar-secret"


class SilentUnderKvm(Exception):
    """A boot under KVM whose init never spoke: it starts again under TCG."""


def state_root():
    return os.path.join(cache_base(), "tolvarsdk", "state")


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
            text = file.read(2 * wire.SECRET_SIZE + 1).decode(errors="replace")
            return bytes.fromhex(text.strip() or "")

    def connect(self, request, timeout):
        """A connection to the agent that carries `request` with its proof;
        the agent's proof is checked before anything it says is trusted."""
        secret = self.secret()
        if len(secret) < wire.SECRET_SIZE:
            raise ValueError("no secret for this guest")
        sock = socket.create_connection(("127.0.0.1", self.port()), timeout=timeout)
        try:
            nonce = wire.read_exactly(sock, wire.NONCE_SIZE)
            body = json.dumps(request).encode()
            proof = wire.request_proof(secret, nonce, body)
            sock.sendall(wire.request_bytes(body, proof))
            answer = wire.read_exactly(sock, wire.PROOF_SIZE)
            if not hmac.compare_digest(answer, wire.answer_proof(secret, nonce, proof)):
                raise ValueError("the answer on the guest's port does not prove its secret")
        except BaseException:
            sock.close()
            raise
        return sock

    def ping(self, timeout):
        try:
            with self.connect({"ping": True}, timeout) as sock:
                kind, payload = wire.read_frame(sock)
                return kind == wire.EXIT
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
            secret = os.urandom(wire.SECRET_SIZE).hex() + "\n"
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
            append = " ".join([f"tolvar.mode=serve tolvar.agent={AGENT}",
                               f"tolvar.port={wire.AGENT_PORT}",
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
                if fallback and not init_spoke(self.folder, "console.log"):
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
            outputs = {wire.OUTPUT: sys.stdout.buffer, wire.ERRORS: sys.stderr.buffer}
            said = []
            while True:
                ready, _, _ = select.select([sock], [], [], silence)
                if not ready:
                    raise self.stopped_failure(f"the guest sent nothing for {silence:g} s while "
                                               f"running {argv[0]}")
                try:
                    kind, payload = wire.read_frame(sock)
                except (OSError, ValueError) as error:
                    # A panicking guest takes a moment to end QEMU.
                    deadline = time.monotonic() + 5
                    while self.pid() and time.monotonic() < deadline:
                        time.sleep(0.2)
                    if said and any(text.startswith(wire.REFUSED) for text in said):
                        raise self.failure(" ".join(said))
                    state = "QEMU has exited" if not self.pid() else "the connection broke"
                    raise self.stopped_failure(f"{state} while running {argv[0]} ({error})")
                if kind in outputs:
                    outputs[kind].write(payload)
                    outputs[kind].flush()
                elif kind == wire.MESSAGE:
                    # The agent's messages are short; a guest's flood of
                    # them is cut and keeps no more than the last few.
                    said = said[-7:] + [payload[:MESSAGE_LIMIT].decode(errors="replace")]
                    note(said[-1])
                elif kind == wire.EXIT:
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


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]
