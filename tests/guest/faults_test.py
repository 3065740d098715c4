"""The guest's gate and failure paths, without booting one: the real agent
serves on this host's loopback, a copy of sleep(1) named like QEMU stands in
for a running guest, and a script that fails stands in for QEMU at a boot.
Every Wine test that runs through a real guest proves the rest."""

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

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The runner is imported from the source tree, which stays as it is.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(ROOT, "testing", "wine"))
import guest  # noqa: E402

GUEST_PY = os.path.join(ROOT, "testing", "wine", "guest.py")
AGENT_PY = os.path.join(ROOT, "testing", "wine", "guest", "agent.py")


def read(path):
    with open(path) as file:
        return file.read()


def process_exists(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().split(")")[-1].split()[0] != "Z"
    except OSError:
        return False


class Host:
    """A scratch folder with what guest.py needs to run without booting: an
    image cache holding a stand-in for the current image, and a
    qemu-system-x86_64 on PATH that fails at once, so that a boot a test
    did not mean is a clear failure, never a real build."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="tolvar-guest-test.")
        self.cache = os.path.join(self.folder, "cache")
        image = os.path.join(self.cache, "tolvarsdk", "guest", guest.image_key())
        os.makedirs(image)
        for name in ("vmlinuz", "initrd.gz", "root.img"):
            with open(os.path.join(image, name), "w") as file:
                file.write("stand-in\n")
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

    def guest_py(self, action, state, *argv, **env):
        environment = {k: v for k, v in os.environ.items() if not k.startswith(("TOLVAR_", "WINE"))}
        environment.update(XDG_CACHE_HOME=self.cache, PATH=f"{self.bin}:{os.environ['PATH']}",
                           TOLVAR_GUEST_ACCEL="tcg", **env)
        command = [sys.executable, GUEST_PY, action, "--dir", state]
        if argv:
            command += ["--limit", "30", "--", *argv]
        return subprocess.run(command, env=environment, capture_output=True, timeout=120)

    def running_guest(self, name, port):
        """A state folder as a booted guest leaves it, its QEMU a sleeper."""
        state = os.path.join(self.folder, name)
        os.makedirs(state, 0o700)
        qemu = subprocess.Popen([self.sleeper, "300"])
        self.children.append(qemu)
        secret = os.urandom(32)
        values = {"pid": f"{qemu.pid} {guest.start_time(qemu.pid)}", "port": port,
                  "key": "0123456789abcdef", "secret": secret.hex(),
                  "console.log": "booted\nagent: listening\nlast line before the silence"}
        for file_name, value in values.items():
            path = os.path.join(state, file_name)
            with open(os.open(path, os.O_WRONLY | os.O_CREAT, 0o600), "w") as file:
                file.write(f"{value}\n")
        return state, secret, qemu

    def close(self):
        for child in self.children:
            child.kill()
            child.wait()
        shutil.rmtree(self.folder)


class GuestFaultsTest(unittest.TestCase):
    def setUp(self):
        self.host = Host()
        self.addCleanup(self.host.close)

    def start_agent(self, state):
        port = guest.free_port()
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
        """A state folder whose agent is the real one on loopback."""
        state, secret, qemu = self.host.running_guest(name, 0)
        port = self.start_agent(state)
        with open(os.path.join(state, "port"), "w") as file:
            file.write(f"{port}\n")
        return state, secret, port, qemu

    def test_the_agent_runs_nothing_without_the_proof_and_goes_on_serving(self):
        state, secret, port, _ = self.serve_fake_guest("guest")
        marker = os.path.join(self.host.folder, "ran")
        body = json.dumps({"argv": ["touch", marker]}).encode()

        def attempt(send, proof_of=None):
            """What the agent says to a connection that sends `send(nonce)`."""
            with socket.create_connection(("127.0.0.1", port), timeout=40) as sock:
                nonce = guest.read_exactly(sock, 32)
                answer = b""
                try:
                    sock.sendall(send(nonce))
                    sock.shutdown(socket.SHUT_WR)
                    while chunk := sock.recv(65536):
                        answer += chunk
                except OSError as error:
                    # An agent that refuses on the length alone closes with
                    # the rest unread, which resets the connection: the
                    # send, the shutdown or the read may meet the reset.
                    if error.errno not in (errno.EPIPE, errno.ECONNRESET, errno.ENOTCONN):
                        raise
                return answer

        def proven(payload):
            return lambda nonce: (struct.pack(">I", len(payload))
                                  + hmac.new(secret, b"request\0" + nonce + payload,
                                             hashlib.sha256).digest() + payload)

        # The unproven form, a wrong proof, a length past the cap: closed
        # with nothing said.
        self.assertEqual(attempt(lambda nonce: struct.pack(">I", len(body)) + body), b"")
        self.assertEqual(attempt(lambda nonce: struct.pack(">I", len(body)) + os.urandom(32)
                                 + body), b"")
        self.assertEqual(attempt(lambda nonce: struct.pack(">I", 1 << 31) + os.urandom(32)), b"")
        # Proven but not an object: refused, and said why.
        refused = attempt(proven(json.dumps(["touch", marker]).encode()))
        self.assertIn(b"request refused: a request is a JSON object, not list", refused)
        self.assertNotIn(b"x\0\0\0", refused)
        self.assertFalse(os.path.exists(marker))
        done = self.host.guest_py("exec", state, "sh", "-c", "echo out; echo err >&2; exit 7")
        self.assertEqual((done.returncode, done.stdout, done.stderr), (7, b"out\n", b"err\n"))

    def test_a_host_that_goes_away_takes_its_command_along(self):
        state, _, _, _ = self.serve_fake_guest("guest")
        pid_file = os.path.join(self.host.folder, "child")
        environment = dict(os.environ, XDG_CACHE_HOME=self.host.cache,
                           PATH=f"{self.host.bin}:{os.environ['PATH']}")
        run = subprocess.Popen([sys.executable, GUEST_PY, "exec", "--dir", state, "--", "sh", "-c",
                                f"sleep 60 & echo $! >{pid_file}; wait"], env=environment)
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

    def test_a_guest_that_stops_answering_is_powered_off_before_the_125(self):
        listener = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(listener.close)
        state, secret, qemu = self.host.running_guest("guest", listener.getsockname()[1])
        held = []

        def accept():
            # Proves the secret and answers the ping; a command gets nothing.
            while True:
                try:
                    connection, _ = listener.accept()
                except OSError:
                    return
                nonce = os.urandom(32)
                connection.sendall(nonce)
                size = struct.unpack(">I", guest.read_exactly(connection, 4))[0]
                proof = guest.read_exactly(connection, 32)
                body = guest.read_exactly(connection, size)
                connection.sendall(hmac.new(secret, b"answer\0" + nonce + proof,
                                            hashlib.sha256).digest())
                if b'"ping"' in body:
                    connection.sendall(b"x" + struct.pack(">I", 1) + b"0")
                    connection.close()
                else:
                    held.append(connection)

        threading.Thread(target=accept, daemon=True).start()
        done = self.host.guest_py("exec", state, "true", TOLVAR_GUEST_SILENCE="2")
        self.assertEqual(done.returncode, guest.GUEST_FAILED)
        message = done.stderr.decode()
        self.assertIn("the guest sent nothing for 2 s while running true; the guest was "
                      "powered off", message)
        self.assertIn("guest image 0123456789abcdef", message)
        self.assertIn("| last line before the silence", message)
        self.assertNotIn("Traceback", message)
        self.assertIsNotNone(qemu.poll())

    def test_a_boot_follows_no_planted_link_and_fails_with_the_console(self):
        state = os.path.join(self.host.folder, "guest")
        os.makedirs(state, 0o700)
        victims = []
        for name in ("qemu.log", "console.log", "port", "secret"):
            victim = os.path.join(self.host.folder, f"victim-{name}")
            with open(victim, "w") as file:
                file.write("untouched\n")
            os.symlink(victim, os.path.join(state, name))
            victims.append(victim)
        done = self.host.guest_py("start", state)
        self.assertEqual(done.returncode, guest.GUEST_FAILED)
        self.assertIn("QEMU exited with status 1 while booting: stand-in QEMU: no machine here",
                      done.stderr.decode())
        self.assertNotIn("Traceback", done.stderr.decode())
        for victim in victims:
            self.assertEqual(read(victim), "untouched\n")
        self.assertFalse(os.path.islink(os.path.join(state, "qemu.log")))

    def test_a_state_folder_of_another_user_is_refused(self):
        state = os.path.join(self.host.folder, "guest")
        os.makedirs(state, 0o700)
        os.chown(state, 65534, 65534)
        done = self.host.guest_py("exec", state, "touch", os.path.join(state, "ran"))
        self.assertEqual(done.returncode, guest.GUEST_FAILED)
        self.assertIn(f"the guest state folder {state} belongs to uid 65534", done.stderr.decode())
        self.assertEqual(os.listdir(state), [])

    def test_without_root_a_missing_image_is_refused_before_anything_is_built(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to run guest.py as another user")
        os.chmod(self.host.folder, 0o755)
        home = os.path.join(self.host.folder, "home")
        os.makedirs(home)
        os.chown(home, 65534, 65534)
        environment = {"PATH": os.environ["PATH"], "HOME": home}
        done = subprocess.run(["/usr/bin/python3", GUEST_PY, "start", "--dir",
                               os.path.join(home, "build", "guest")], env=environment,
                              capture_output=True, timeout=60, user=65534, group=65534)
        self.assertEqual(done.returncode, guest.GUEST_FAILED)
        self.assertIn("building it needs root", done.stderr.decode())
        self.assertEqual(os.listdir(os.path.join(home, ".cache", "tolvarsdk", "guest")), ["lock"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
