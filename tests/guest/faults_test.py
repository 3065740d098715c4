"""The guest's failure paths, without booting one: the real agent serves on
this host's loopback, a sleeping process stands in for QEMU, and the image
build is replaced where the cache's own logic is what is checked. Every
Wine test that runs through a real guest proves the rest."""

import fcntl
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools", "wine"))
import guest  # noqa: E402

GUEST_PY = os.path.join(ROOT, "tools", "wine", "guest.py")
AGENT_PY = os.path.join(ROOT, "tools", "wine", "guest", "agent.py")


class FakeGuest:
    """A state folder whose "QEMU" is a sleeping process and whose port is
    served by `serve(port)`."""

    def __init__(self, folder, port):
        self.state = os.path.join(folder, "guest")
        os.makedirs(self.state)
        self.console = os.path.join(self.state, "console.log")
        with open(self.console, "w") as file:
            file.write("booted\nagent: listening\nlast line before the silence\n")
        self.qemu = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(300)",
                                      "qemu-system-x86_64", self.console])
        for name, value in (("pid", self.qemu.pid), ("port", port), ("key", "0123456789abcdef")):
            with open(os.path.join(self.state, name), "w") as file:
                file.write(f"{value}\n")

    def run(self, *argv, limit=30, **env):
        environment = {k: v for k, v in os.environ.items() if not k.startswith(("TOLVAR_", "WINE"))}
        environment.update(env)
        return subprocess.Popen([sys.executable, GUEST_PY, "exec", "--dir", self.state,
                                 "--limit", str(limit), "--", *argv], env=environment,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def close(self):
        self.qemu.kill()
        self.qemu.wait()


def read(path):
    with open(path) as file:
        return file.read()


def process_exists(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().split(")")[-1].split()[0] != "Z"
    except OSError:
        return False


class AgentTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.port = guest.free_port()
        self.agent = subprocess.Popen([sys.executable, AGENT_PY, "--address", "127.0.0.1",
                                       "--port", str(self.port), "--idle", "120"],
                                      stderr=subprocess.DEVNULL)
        self.guest = FakeGuest(self.folder, self.port)
        deadline = time.monotonic() + 20
        while not guest.Guest(self.guest.state).ping(2):
            self.assertLess(time.monotonic(), deadline, "the agent did not come up")
            time.sleep(0.2)

    def tearDown(self):
        self.agent.kill()
        self.agent.wait()
        self.guest.close()
        subprocess.run(["rm", "-rf", self.folder])

    def test_streams_stay_apart_and_the_status_comes_back(self):
        run = self.guest.run("sh", "-c", "echo out; echo err >&2; echo more; exit 7")
        out, err = run.communicate(timeout=30)
        self.assertEqual((run.returncode, out, err), (7, b"out\nmore\n", b"err\n"))

    def test_a_command_past_its_limit_reports_124_and_its_group_dies(self):
        pid_file = os.path.join(self.folder, "child")
        run = self.guest.run("sh", "-c", f"sleep 60 & echo $! >{pid_file}; wait", limit=2)
        out, err = run.communicate(timeout=30)
        self.assertEqual(run.returncode, 124)
        self.assertIn(b"ran past its limit of 2 s", err)
        self.assertFalse(process_exists(int(read(pid_file))))

    def test_a_host_that_goes_away_takes_its_command_along(self):
        pid_file = os.path.join(self.folder, "child")
        run = self.guest.run("sh", "-c", f"sleep 60 & echo $! >{pid_file}; wait")
        deadline = time.monotonic() + 20
        while not os.path.exists(pid_file) or not read(pid_file).strip():
            self.assertLess(time.monotonic(), deadline, "the command did not start")
            time.sleep(0.1)
        child = int(read(pid_file))
        run.send_signal(signal.SIGKILL)
        run.communicate()
        deadline = time.monotonic() + 15
        while process_exists(child) and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertFalse(process_exists(child))


class SilentGuestTest(unittest.TestCase):
    """A guest that answers the ping but never reports on a command: the run
    ends at the silence limit with the guest named and its console shown."""

    def test_no_report_ends_the_run_with_the_console(self):
        listener = socket.create_server(("127.0.0.1", 0))
        held = []

        def accept():
            while True:
                try:
                    connection, _ = listener.accept()
                except OSError:
                    return
                header = connection.recv(4)
                body = connection.recv(struct.unpack(">I", header)[0])
                if b'"ping"' in body:
                    connection.sendall(b"x" + struct.pack(">I", 1) + b"0")
                    connection.close()
                else:
                    held.append(connection)

        threading.Thread(target=accept, daemon=True).start()
        with tempfile.TemporaryDirectory() as folder:
            fake = FakeGuest(folder, listener.getsockname()[1])
            try:
                started = time.monotonic()
                run = fake.run("true", TOLVAR_GUEST_SILENCE="2")
                out, err = run.communicate(timeout=60)
            finally:
                fake.close()
                listener.close()
        self.assertEqual(run.returncode, guest.GUEST_FAILED)
        self.assertLess(time.monotonic() - started, 30)
        message = err.decode()
        self.assertIn("the guest sent nothing for 2 s while running true", message)
        self.assertIn("guest image 0123456789abcdef", message)
        self.assertIn(fake.console, message)
        self.assertIn("| last line before the silence", message)


class CacheTest(unittest.TestCase):
    """Built under a temporary name and renamed when complete; leftovers
    and images of other keys go, unless a running guest holds one."""

    def setUp(self):
        self.cache = tempfile.mkdtemp()
        self.saved = os.environ.get("XDG_CACHE_HOME"), guest.build_image
        os.environ["XDG_CACHE_HOME"] = self.cache
        self.root = guest.cache_root()
        os.makedirs(self.root)
        self.builds = 0

    def tearDown(self):
        cache_home, guest.build_image = self.saved
        if cache_home is None:
            del os.environ["XDG_CACHE_HOME"]
        else:
            os.environ["XDG_CACHE_HOME"] = cache_home
        subprocess.run(["rm", "-rf", self.cache])

    def build(self, partial, key, fail=False):
        self.builds += 1
        os.makedirs(partial)
        with open(os.path.join(partial, "root.img"), "w") as image:
            image.write("half" if fail else "whole")
        if fail:
            raise guest.GuestError("the build broke")

    def test_a_failed_build_leaves_nothing_to_use(self):
        guest.build_image = lambda partial, key: self.build(partial, key, fail=True)
        with self.assertRaises(guest.GuestError):
            guest.ensure_image()
        self.assertEqual(os.listdir(self.root), ["lock"])

    def test_a_complete_build_replaces_stale_images_not_held_ones(self):
        for name in ("leftover.partial-1", "0000000000000000", "1111111111111111"):
            os.makedirs(os.path.join(self.root, name))
        held = open(os.path.join(self.root, "1111111111111111", "in-use"), "a")
        fcntl.flock(held, fcntl.LOCK_SH)
        guest.build_image = self.build
        key, image = guest.ensure_image()
        self.assertEqual(sorted(os.listdir(self.root)), sorted(["lock", key, "1111111111111111"]))
        self.assertEqual(read(os.path.join(image, "root.img")), "whole")
        self.assertEqual(guest.ensure_image(), (key, image))
        self.assertEqual(self.builds, 1)
        held.close()


if __name__ == "__main__":
    unittest.main(verbosity=2)
