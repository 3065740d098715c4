"""The guest's gate and failure paths, without booting one: the real agent
serves on this host's loopback, a copy of sleep(1) named like QEMU stands in
for a running guest, and a script stands in for QEMU at a boot (one that
fails, or one that serves the real agent as the guest would). Every Wine
test that runs through a real guest proves the rest."""

import errno
import hashlib
import hmac
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from unittest import mock

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The runner is imported from the source tree, which stays as it is.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(ROOT, "testing", "guest"))
import images  # noqa: E402
import keeper  # noqa: E402
import lifecycle  # noqa: E402
from runner import GUEST_FAILED  # noqa: E402
import wire  # noqa: E402

GUEST_PY = os.path.join(ROOT, "testing", "guest", "runner.py")
AGENT_PY = os.path.join(ROOT, "testing", "guest", "agent.py")
# runner.py with a stand-in for the KVM device: run_with_kvm_device DEVICE ARGS...
RUN_WITH_KVM_DEVICE = f"""import sys
sys.dont_write_bytecode = True
sys.path.insert(0, {os.path.dirname(GUEST_PY)!r})
import qemu
qemu.KVM_DEVICE = sys.argv.pop(1)
import runner
sys.argv[0] = {GUEST_PY!r}
sys.exit(runner.main())
"""


def read(path):
    with open(path) as file:
        return file.read()


def read_or_empty(path):
    try:
        return read(path)
    except FileNotFoundError:
        return ""


def process_exists(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().split(")")[-1].split()[0] != "Z"
    except OSError:
        return False


def ask_agent(port, send):
    """What the agent on `port` says to a connection that sends
    `send(nonce)`."""
    with socket.create_connection(("127.0.0.1", port), timeout=40) as sock:
        nonce = wire.read_exactly(sock, 32)
        answer = b""
        try:
            sock.sendall(send(nonce))
            sock.shutdown(socket.SHUT_WR)
            while chunk := sock.recv(65536):
                answer += chunk
        except OSError as error:
            # An agent that refuses on the length alone closes with the
            # rest unread, which resets the connection: the send, the
            # shutdown or the read may meet the reset.
            if error.errno not in (errno.EPIPE, errno.ECONNRESET, errno.ENOTCONN):
                raise
        return answer


def proof(secret, payload):
    """A request of `payload` with its proof, for ask_agent."""
    return lambda nonce: (struct.pack(">I", len(payload))
                          + hmac.new(secret, b"request\0" + nonce + payload,
                                     hashlib.sha256).digest() + payload)


class Host:
    """A scratch folder with what runner.py needs to run without booting: an
    image cache holding a stand-in for the current image, and a
    qemu-system-x86_64 on PATH that fails at once, so that a boot a test
    did not mean is a clear failure, never a real build. Guests are named
    in `work`, the build tree they share; the cache, which holds their
    state, lies beside it."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="tolvar-guest-test.")
        self.work = os.path.join(self.folder, "work")
        os.makedirs(self.work)
        self.cache = os.path.join(self.folder, "cache")
        self.stand_in_image(self.cache)
        self.bin = os.path.join(self.folder, "bin")
        os.makedirs(self.bin)
        with open(os.path.join(self.bin, "qemu-system-x86_64"), "w") as file:
            file.write("#!/bin/sh\necho 'stand-in QEMU: no machine here' >&2\nexit 1\n")
        os.chmod(os.path.join(self.bin, "qemu-system-x86_64"), 0o755)
        # A QEMU that runs: /proc/PID/exe names it.
        self.sleeper = os.path.join(self.folder, "sleeper", "qemu-system-x86_64")
        os.makedirs(os.path.dirname(self.sleeper))
        shutil.copy("/bin/sleep", self.sleeper)
        self.children = []

    @staticmethod
    def stand_in_image(cache):
        image = os.path.join(cache, "tolvarsdk", "guest", images.image_key())
        os.makedirs(image)
        for name in ("vmlinuz", "initrd.gz", "root.img"):
            with open(os.path.join(image, name), "w") as file:
                file.write("stand-in\n")

    def environment(self, **env):
        environment = {k: v for k, v in os.environ.items() if not k.startswith(("TOLVAR_", "WINE"))}
        environment.update(XDG_CACHE_HOME=self.cache, PATH=f"{self.bin}:{os.environ['PATH']}",
                           TOLVAR_GUEST_ACCEL="tcg")
        environment.update(env)
        return environment

    def guest_py(self, action, state, *argv, **env):
        command = [sys.executable, GUEST_PY, action, "--dir", state]
        if argv:
            command += ["--limit", "30", "--", *argv]
        return subprocess.run(command, env=self.environment(**env), capture_output=True,
                              timeout=120)

    def state(self, name):
        """The state folder of the guest named `name`, as runner.py finds it."""
        with mock.patch.dict(os.environ, XDG_CACHE_HOME=self.cache):
            return lifecycle.state_folder(name)

    def running_guest(self, name, port):
        """A guest named work/`name`, its state as a boot leaves it, its
        QEMU a sleeper."""
        named = os.path.join(self.work, name)
        state = self.state(named)
        os.makedirs(state, 0o700)
        qemu = subprocess.Popen([self.sleeper, "300"],
                                env={lifecycle.STATE_VARIABLE: state, **os.environ})
        self.children.append(qemu)
        secret = os.urandom(32)
        values = {"pid": f"{qemu.pid} {keeper.start_time(qemu.pid)}", "port": port,
                  "key": "0123456789abcdef", "secret": secret.hex(),
                  "console.log": "booted\nagent: listening\nlast line before the silence"}
        for file_name, value in values.items():
            path = os.path.join(state, file_name)
            with open(os.open(path, os.O_WRONLY | os.O_CREAT, 0o600), "w") as file:
                file.write(f"{value}\n")
        return named, secret, qemu

    def serving_qemu(self):
        """A PATH whose qemu-system-x86_64 stands in for a machine. As the
        KVM probe (rdinit=), it writes the probe's word if PROBE=speaks,
        else the last words of a kernel that stalls, and nothing more.
        Under KVM a boot stays silent unless KVM_SERVES is set; else,
        unless SILENT is set, it serves the real agent on the forwarded
        port with the secret it finds through the shares, mounted as the
        guest's init mounts them. Then it sleeps as qemu-system. Each
        start is logged (launches())."""
        folder = os.path.join(self.folder, "serving")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "qemu-system-x86_64"), "w") as file:
            file.write(f"""#!{sys.executable}
import json, os, re, subprocess, sys
with open({self.folder + "/launches"!r}, "a") as file:
    file.write(json.dumps({{"pid": os.getpid(), "argv": sys.argv}}) + "\\n")
words = " ".join(sys.argv)
kvm = "-accel kvm" in words
if "rdinit=" in words:
    if os.environ.get("PROBE") == "speaks":
        print("[    0.000000] Linux version\\r\\n" + words.split(" -- echo ")[1].split()[0] + "\\r",
              flush=True)
        sys.exit(0)
    print("Probing EDD (edd=off to disable)... ok\\r", flush=True)
elif not os.environ.get("SILENT") and (not kvm or os.environ.get("KVM_SERVES")):
    tags = dict(re.findall(r"path=([^,]+),mount_tag=([^,]+)", words))
    mounts = {{mount: path for path, tag in tags.items()
              for tag_, mount in re.findall(r"tolvar.share=([^:]+):([^ ]+)", words) if tag == tag_}}
    secret = re.search(r"tolvar.secret=([^ ]+)", words)[1]
    mount = max((m for m in mounts if secret.startswith(m + "/")), key=len)
    agent = subprocess.Popen([sys.executable, {AGENT_PY!r}, "--address", "127.0.0.1",
                              "--port", re.search(r"127.0.0.1:([0-9]+)-", words)[1],
                              "--idle", "60", "--secret-file",
                              mounts[mount] + secret[len(mount):]],
                             stderr=subprocess.DEVNULL, start_new_session=True)
    with open({self.folder + "/agents"!r}, "a") as file:
        file.write(f"{{agent.pid}}\\n")
os.execv({self.sleeper!r}, [{self.sleeper!r}, "300"])
""")
        os.chmod(os.path.join(folder, "qemu-system-x86_64"), 0o755)
        return f"{folder}:{os.environ['PATH']}"

    def launches(self):
        return [json.loads(line) for line in read_or_empty(os.path.join(self.folder, "launches"))
                .splitlines()]

    def close(self):
        for pid in read_or_empty(os.path.join(self.folder, "agents")).split():
            try:
                os.kill(int(pid), 9)
            except ProcessLookupError:
                pass
        for child in self.children:
            child.kill()
            child.wait()
        shutil.rmtree(self.folder)


class GuestFaultsTest(unittest.TestCase):
    def setUp(self):
        self.host = Host()
        self.addCleanup(self.host.close)

    def start_agent(self, state):
        port = lifecycle.free_port()
        agent = subprocess.Popen([sys.executable, AGENT_PY, "--address", "127.0.0.1",
                                  "--port", str(port), "--idle", "120",
                                  "--secret-file", os.path.join(state, "secret")],
                                 stderr=subprocess.DEVNULL)
        self.host.children.append(agent)
        deadline = time.monotonic() + 20
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=2).close()
                return port
            except OSError:
                self.assertLess(time.monotonic(), deadline, "the agent did not come up")
                time.sleep(0.2)

    def serve_fake_guest(self, name):
        """A guest whose agent is the real one on loopback."""
        named, secret, qemu = self.host.running_guest(name, 0)
        port = self.start_agent(self.host.state(named))
        with open(os.path.join(self.host.state(named), "port"), "w") as file:
            file.write(f"{port}\n")
        return named, secret, port, qemu

    def test_the_agent_runs_nothing_without_the_proof_and_goes_on_serving(self):
        state, secret, port, _ = self.serve_fake_guest("guest")
        marker = os.path.join(self.host.folder, "ran")
        body = json.dumps({"argv": ["touch", marker]}).encode()

        # The unproven form, a wrong proof, a length past the cap: closed
        # with nothing said.
        for unproven in (lambda nonce: struct.pack(">I", len(body)) + body,
                         lambda nonce: struct.pack(">I", len(body)) + os.urandom(32) + body,
                         lambda nonce: struct.pack(">I", 1 << 31) + os.urandom(32)):
            self.assertEqual(ask_agent(port, unproven), b"")
        # Proven but not an object: refused, and said why.
        refused = ask_agent(port, proof(secret, json.dumps(["touch", marker]).encode()))
        self.assertIn(b"request refused: a request is a JSON object, not list", refused)
        self.assertNotIn(b"x\0\0\0", refused)
        self.assertFalse(os.path.exists(marker))
        done = self.host.guest_py("exec", state, "sh", "-c", "echo out; echo err >&2; exit 7")
        self.assertEqual((done.returncode, done.stdout, done.stderr), (7, b"out\n", b"err\n"))

    def test_a_host_that_goes_away_takes_its_command_along(self):
        state, _, _, _ = self.serve_fake_guest("guest")
        pid_file = os.path.join(self.host.folder, "child")
        run = subprocess.Popen([sys.executable, GUEST_PY, "exec", "--dir", state, "--", "sh", "-c",
                                f"sleep 60 & echo $! >{pid_file}; wait"],
                               env=self.host.environment())
        deadline = time.monotonic() + 20
        while not os.path.exists(pid_file) or not read(pid_file).strip():
            self.assertLess(time.monotonic(), deadline, "the command did not start")
            time.sleep(0.1)
        child = int(read(pid_file))
        run.kill()
        run.wait()
        deadline = time.monotonic() + 15
        while process_exists(child) and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertFalse(process_exists(child))

    def test_a_state_folder_with_a_comma_is_found_again(self):
        state, _, _, qemu = self.serve_fake_guest("a,b")
        for _ in range(2):
            done = self.host.guest_py("exec", state, "true")
            self.assertEqual(done.returncode, 0, done.stderr.decode())
        self.assertIsNone(qemu.poll())

    def serve_lying_guest(self, name, answer=None):
        """A state folder whose agent proves the secret and answers the
        ping, but gives a command `answer` (an exit status), or nothing."""
        listener = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(listener.close)
        state, secret, qemu = self.host.running_guest(name, listener.getsockname()[1])
        held = []

        def accept():
            while True:
                try:
                    connection, _ = listener.accept()
                except OSError:
                    return
                nonce = os.urandom(32)
                connection.sendall(nonce)
                size = struct.unpack(">I", wire.read_exactly(connection, 4))[0]
                proof = wire.read_exactly(connection, 32)
                body = wire.read_exactly(connection, size)
                connection.sendall(hmac.new(secret, b"answer\0" + nonce + proof,
                                            hashlib.sha256).digest())
                said = b"0" if b'"ping"' in body else answer
                if said is None:
                    held.append(connection)
                    continue
                connection.sendall(b"x" + struct.pack(">I", len(said)) + said)
                connection.close()

        threading.Thread(target=accept, daemon=True).start()
        return state, qemu

    def test_a_guest_that_stops_answering_is_powered_off_before_the_125(self):
        state, qemu = self.serve_lying_guest("guest")
        done = self.host.guest_py("exec", state, "true", TOLVAR_GUEST_SILENCE="2")
        self.assertEqual(done.returncode, GUEST_FAILED)
        message = done.stderr.decode()
        self.assertIn("the guest sent nothing for 2 s while running true; the guest was "
                      "powered off", message)
        self.assertIn("guest image 0123456789abcdef", message)
        self.assertIn("| last line before the silence", message)
        self.assertNotIn("Traceback", message)
        self.assertIsNotNone(qemu.poll())

    def test_what_a_guest_or_a_folder_could_lie_with_is_refused(self):
        # An exit status past a byte would be cut to one (256 passing as
        # 0): 125, with what came, and the guest powered off.
        for number, status in enumerate((b"256", b"9" * 60, b"-1", b" 7", b"")):
            state, qemu = self.serve_lying_guest(f"liar{number}", status)
            done = self.host.guest_py("exec", state, "true")
            self.assertEqual(done.returncode, GUEST_FAILED, status)
            self.assertIn(f"the guest gave {status[:40]!r}", done.stderr.decode())
            self.assertIn("as the exit status of true, not a number from 0 to 255; the guest "
                          "was powered off", done.stderr.decode())
            self.assertIsNotNone(qemu.poll())
        # `stop` ends its own state's QEMU only, never one that the pid
        # file names (start time and all) but that serves another state.
        state, _, _ = self.host.running_guest("stopped", 0)
        _, _, other = self.host.running_guest("other", 0)
        with open(os.path.join(self.host.state(state), "pid"), "w") as file:
            file.write(f"{other.pid} {keeper.start_time(other.pid)}\n")
        self.assertEqual(self.host.guest_py("stop", state).returncode, 0)
        self.assertIsNone(other.poll())
        # A state folder or a share that someone else could swap for a
        # link before QEMU opens it (on its way from /, a folder of another
        # user or one that others may write to) is not used, and nothing
        # is made there; a link that only root or this user can change is
        # followed.
        shared = {"TOLVAR_GUEST_SHARE": self.host.work}
        ways = {os.path.join(self.host.folder, "open"): "may be written by its group or others "
                "(mode 0777, not sticky)"}
        if os.geteuid() == 0:
            ways[os.path.join(self.host.folder, "foreign")] = "belongs to uid 65534"
        for way, why in ways.items():
            os.makedirs(way)
            os.chmod(way, 0o777)
            if way.endswith("foreign"):
                os.chown(way, 65534, 65534)
            done = self.host.guest_py("start", os.path.join(way, "state"), **shared)
            self.assertEqual(done.returncode, GUEST_FAILED)
            self.assertIn(f"the guest state folder {way}/state is not used: {way} {why}",
                          done.stderr.decode())
            self.assertEqual(os.listdir(way), [])
        build = os.path.join(self.host.folder, "open", "build")
        os.makedirs(build, 0o755)
        done = self.host.guest_py("start", os.path.join(self.host.folder, "fine"),
                                  TOLVAR_GUEST_SHARE=build)
        self.assertEqual(done.returncode, GUEST_FAILED)
        self.assertIn(f"cannot share {self.host.folder}/open/build with the guest: "
                      f"{self.host.folder}/open may be written by its group or others",
                      done.stderr.decode())
        # The cache, and so the state folder, inside a shared tree:
        # refused before anything is built or booted.
        inside = os.path.join(self.host.work, "cache")
        self.host.stand_in_image(inside)
        done = self.host.guest_py("start", os.path.join(self.host.work, "guest"),
                                  XDG_CACHE_HOME=inside)
        self.assertEqual(done.returncode, GUEST_FAILED)
        self.assertRegex(done.stderr.decode(), f"the guest's state folder {inside}/tolvarsdk/"
                         f"state/[0-9a-f]{{16}} and the share {self.host.work} overlap: the guest "
                         "would see what the host trusts")
        self.assertNotIn("QEMU", done.stderr.decode())
        self.serve_fake_guest("linked")
        os.symlink(self.host.work, os.path.join(self.host.folder, "link"))
        done = self.host.guest_py("exec", os.path.join(self.host.folder, "link", "linked"), "true",
                                  **shared)
        self.assertEqual(done.returncode, 0, done.stderr.decode())
        # A proven request nested past the protocol's depth is refused
        # with an answer, and the agent serves the next.
        state, secret, port, _ = self.serve_fake_guest("deep")
        for deep in (b"[" * 200000 + b"]" * 200000, b'{"argv": [["true"]]}'):
            self.assertIn(b"request refused: the request nests deeper than 2 levels",
                          ask_agent(port, proof(secret, deep)))
        self.assertEqual(self.host.guest_py("exec", state, "true").returncode, 0)

    def booted(self, named):
        """QEMU's pid and its parent's, once the pid file of the guest
        `named` names it."""
        pid_file = os.path.join(self.host.state(named), "pid")
        deadline = time.monotonic() + 60
        while not read_or_empty(pid_file).strip():
            self.assertLess(time.monotonic(), deadline, "QEMU did not start")
            time.sleep(0.1)
        qemu = int(read(pid_file).split()[0])
        self.addCleanup(lambda: process_exists(qemu) and os.kill(qemu, 9))
        with open(f"/proc/{qemu}/stat") as stat:
            return qemu, int(stat.read().rsplit(")", 1)[1].split()[2])

    def test_qemu_ends_with_the_process_that_owns_it(self):
        path = self.host.serving_qemu()

        def gone(*pids):
            deadline = time.monotonic() + 15
            while any(map(process_exists, pids)) and time.monotonic() < deadline:
                time.sleep(0.1)
            return not any(map(process_exists, pids))

        # A runner killed while it boots the guest, SIGKILL or not: its
        # QEMU goes with it, and so does QEMU's keeper.
        for number, sig in ((9, "SIGKILL"), (15, "SIGTERM")):
            state = os.path.join(self.host.work, f"booting-{number}")
            runner = subprocess.Popen([sys.executable, GUEST_PY, "start", "--dir", state],
                                      env=self.host.environment(PATH=path, SILENT="1"),
                                      stderr=subprocess.DEVNULL)
            qemu, keeper = self.booted(state)
            self.assertTrue(process_exists(qemu))
            os.kill(runner.pid, number)
            runner.wait()
            self.assertTrue(gone(qemu, keeper), f"QEMU outlived its runner's {sig}")
        # A guest that `start` booted outlives it, to serve later commands,
        # and ends with its keeper, however that ends.
        state = os.path.join(self.host.work, "started")
        done = self.host.guest_py("start", state, PATH=path)
        self.assertEqual(done.returncode, 0, done.stderr.decode())
        qemu, keeper = self.booted(state)
        self.assertTrue(process_exists(qemu))
        os.kill(keeper, 9)
        self.assertTrue(gone(qemu), "QEMU outlived its keeper")
        # Started again, it ends with `stop`, its keeper too.
        done = self.host.guest_py("start", state, PATH=path)
        self.assertEqual(done.returncode, 0, done.stderr.decode())
        qemu, keeper = self.booted(state)
        self.assertEqual(self.host.guest_py("stop", state).returncode, 0)
        self.assertTrue(gone(qemu, keeper), "stop left QEMU running")

    def test_the_guest_gets_its_trees_and_a_copy_of_the_secret_and_no_state(self):
        path = self.host.serving_qemu()
        named = os.path.join(self.host.work, "guest")
        done = self.host.guest_py("start", named, PATH=path)
        self.assertEqual(done.returncode, 0, done.stderr.decode())
        self.addCleanup(self.host.guest_py, "stop", named)
        # The agent serves: it read the secret where the guest finds it.
        done = self.host.guest_py("exec", named, "true", PATH=path)
        self.assertEqual(done.returncode, 0, done.stderr.decode())
        argv = self.host.launches()[-1]["argv"]
        virtfs = [argv[n + 1].split(",") for n, word in enumerate(argv) if word == "-virtfs"]
        tags = {options[2]: options for options in virtfs}
        append = argv[argv.index("-append") + 1].split()
        mounts = [word.split("=", 1)[1].split(":", 1) for word in append
                  if word.startswith("tolvar.share=")]
        state = self.host.state(named)
        # In the order they are mounted, each read-only whatever the
        # guest does: the source tree, the build tree, the copy of the
        # secret.
        self.assertEqual([(mount, tags[f"mount_tag={tag}"][1], tags[f"mount_tag={tag}"][3:])
                          for tag, mount in mounts],
                         [(os.path.realpath(ROOT), f"path={os.path.realpath(ROOT)}",
                           ["security_model=none", "readonly=on"]),
                          (self.host.work, f"path={self.host.work}",
                           ["security_model=none", "readonly=on"]),
                          (lifecycle.SECRET_MOUNT, f"path={state}/{lifecycle.SECRET_SHARE}",
                           ["security_model=none", "readonly=on"])])
        self.assertEqual(os.listdir(os.path.join(state, lifecycle.SECRET_SHARE)), ["secret"])
        self.assertEqual(read(os.path.join(state, lifecycle.SECRET_SHARE, "secret")),
                         read(os.path.join(state, "secret")))
        self.assertFalse(os.path.exists(named))

    def test_kvm_is_taken_only_where_the_guest_boots_under_it(self):
        path = self.host.serving_qemu()
        kvm = os.path.join(self.host.folder, "kvm")
        os.close(os.open(kvm, os.O_CREAT | os.O_WRONLY, 0o600))

        def start(named, **env):
            done = subprocess.run([sys.executable, "-c", RUN_WITH_KVM_DEVICE, kvm, "start",
                                   "--dir", named],
                                  env=self.host.environment(PATH=path, TOLVAR_GUEST_ACCEL="",
                                                            TOLVAR_GUEST_KVM_LIMIT="2", **env),
                                  capture_output=True, timeout=120)
            self.addCleanup(self.host.guest_py, "stop", named)
            self.assertEqual(done.returncode, 0, done.stderr.decode())
            return done.stderr.decode()

        def accels():
            return [launch["argv"][launch["argv"].index("-accel") + 1].split(",")[0]
                    for launch in self.host.launches()]

        # A kernel that stops after its first words under KVM: TCG, and
        # why.
        said = start(os.path.join(self.host.work, "stalls"))
        self.assertIn("(TCG: under KVM, the guest's kernel ran no program within 2 s; its last "
                      "words: 'Probing EDD (edd=off to disable)... ok'", said)
        self.assertEqual(accels(), ["kvm", "tcg"])
        # A kernel that boots under KVM, but a guest that then stays
        # silent: its QEMU is ended, and the guest boots again under TCG.
        said = start(os.path.join(self.host.work, "silent"), PROBE="speaks")
        self.assertIn("the x86 guest never reached its init under KVM", said)
        self.assertIn("it boots again under TCG", said)
        self.assertIn("(TCG: the guest stayed silent under KVM;", said)
        self.assertEqual(accels()[2:], ["kvm", "kvm", "tcg"])
        self.assertFalse(process_exists(self.host.launches()[3]["pid"]))
        # Where both boot, KVM.
        said = start(os.path.join(self.host.work, "fast"), PROBE="speaks", KVM_SERVES="1")
        self.assertRegex(said, r"x86 guest up in [0-9.]+ s \(KVM: the guest's kernel ran a "
                         r"program under KVM in [0-9.]+ s;")
        self.assertEqual(accels()[5:], ["kvm", "kvm"])

    def test_a_boot_follows_no_planted_link_and_fails_with_the_console(self):
        named = os.path.join(self.host.work, "guest")
        state = self.host.state(named)
        os.makedirs(state, 0o700)
        victims = []
        for name in ("qemu.log", "console.log", "port", "secret"):
            victim = os.path.join(self.host.folder, f"victim-{name}")
            with open(victim, "w") as file:
                file.write("untouched\n")
            os.symlink(victim, os.path.join(state, name))
            victims.append(victim)
        done = self.host.guest_py("start", named)
        self.assertEqual(done.returncode, GUEST_FAILED)
        self.assertIn("QEMU exited with status 1 while booting: stand-in QEMU: no machine here",
                      done.stderr.decode())
        self.assertIn(f"console {state}/console.log", done.stderr.decode())
        self.assertNotIn("Traceback", done.stderr.decode())
        for victim in victims:
            self.assertEqual(read(victim), "untouched\n")
        self.assertFalse(os.path.islink(os.path.join(state, "qemu.log")))

    def test_a_state_folder_of_another_user_is_refused(self):
        named = os.path.join(self.host.work, "guest")
        state = self.host.state(named)
        os.makedirs(state, 0o700)
        os.chown(state, 65534, 65534)
        done = self.host.guest_py("exec", named, "touch", os.path.join(state, "ran"))
        self.assertEqual(done.returncode, GUEST_FAILED)
        self.assertIn(f"the guest state folder {state} belongs to uid 65534", done.stderr.decode())
        self.assertEqual(os.listdir(state), [])

    def test_without_root_a_missing_image_is_refused_before_anything_is_built(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to run runner.py as another user")
        os.chmod(self.host.folder, 0o755)
        home = os.path.join(self.host.folder, "home")
        os.makedirs(home)
        os.chown(home, 65534, 65534)
        # The runner as that user can read it: a checkout may sit where only
        # root may look (/root).
        runner = os.path.join(self.host.folder, "runner", "testing", "guest")
        shutil.copytree(os.path.dirname(GUEST_PY), runner)
        environment = {"PATH": os.environ["PATH"], "HOME": home}
        done = subprocess.run(["/usr/bin/python3", os.path.join(runner, "runner.py"), "start", "--dir",
                               os.path.join(home, "build", "guest")], env=environment,
                              capture_output=True, timeout=60, user=65534, group=65534)
        self.assertEqual(done.returncode, GUEST_FAILED)
        self.assertIn("building it needs root", done.stderr.decode())
        self.assertEqual(os.listdir(os.path.join(home, ".cache", "tolvarsdk", "guest")), ["lock"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
