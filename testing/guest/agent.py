"""Runs commands for the host inside a Wine guest.

The guest's init starts this file from the shared source tree, so a change
here needs no new image. It serves only whoever proves the boot's secret
(the file named by tolvar.secret= on the kernel command line, in a
read-only share that holds only a copy of it; --secret-file instead), on
the wire that wire.py, beside this file, describes for both ends.

Each command runs in a process group (and, in the guest, a cgroup) of its
own. A host that disconnects (Ctrl-C, or ctest ending the test) gets the
group sent SIGTERM, and after a grace every process the command started is
killed, daemons such as `wineserver -p` included; so does a command past
its limit. The agent ends after `--idle` seconds without a proven request,
and the init then powers the guest off.
"""

import argparse
import hmac
import itertools
import os
import selectors
import signal
import socket
import socketserver
import struct
import subprocess
import sys
import threading
import time

# The share that holds this file is read-only.
sys.dont_write_bytecode = True

import wire  # noqa: E402
from wire import Refused  # noqa: E402

# Prefixes and Wine's sockets live on the guest's own disk: a unix socket
# cannot be bound on 9p, and a prefix there made a session start take 140 s.
PREFIX_ROOT = "/var/lib/tolvar/prefixes"
BASE_TEMPLATE = "/var/lib/tolvar/wine-template"
# The writable halves of prefixes that are the template seen through an
# overlay (testing/wine/arch.sh, fresh_prefix), where the kernel has overlay.
PREFIX_OVERLAYS = "/var/lib/tolvar/overlays"
PREFIX_VARIABLES = ("TOLVAR_WINEPREFIX", "WINEPREFIX", "TOLVAR_SHARED_TEMPLATE")
HEARTBEAT_SECONDS = 5
# After the command exits, output still in its pipes is read this long; a
# process it left behind that keeps them open does not hold the answer.
DRAIN_SECONDS = 5
# A killed command's scripts get this long to end their Wine sessions
# (wineserver -k) before everything it started is killed.
TERM_GRACE_SECONDS = 20
CONNECTIONS = 32
CGROUP_ROOT = "/sys/fs/cgroup"


def log(text):
    print(f"agent: {text}", file=sys.stderr, flush=True)


def guest_path(host_path):
    """Where a prefix named by its host path lives in the guest."""
    return os.path.join(PREFIX_ROOT, os.path.abspath(host_path).lstrip("/"))


def has_overlay():
    with open("/proc/filesystems") as filesystems:
        return any(line.split()[-1:] == ["overlay"] for line in filesystems)


def command_environment(requested):
    env = {
        "PATH": "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin",
        "HOME": "/root",
        "TMPDIR": "/tmp",
        "TOLVAR_BASE_TEMPLATE": BASE_TEMPLATE,
        # The scripts say so where what they keep stays on the guest's disk,
        # out of the host's reach and gone at the guest's next boot.
        "TOLVAR_IN_GUEST": "1",
    }
    if has_overlay():
        env["TOLVAR_PREFIX_OVERLAYS"] = PREFIX_OVERLAYS
    env.update(requested)
    for name in PREFIX_VARIABLES:
        if env.get(name):
            env[name] = guest_path(env[name])
            os.makedirs(os.path.dirname(env[name]), exist_ok=True)
    return env


class Connection:
    def __init__(self, sock):
        self.sock = sock
        self.lock = threading.Lock()

    def send(self, kind, payload=b""):
        with self.lock:
            self.sock.sendall(wire.frame(kind, payload))

    def read_request(self, secret, deadline):
        """The proven request's body, or Refused: nothing is parsed before
        the proof is checked."""
        nonce = os.urandom(wire.NONCE_SIZE)
        self.sock.sendall(nonce)
        size = struct.unpack(">I", self._read_exactly(4, deadline))[0]
        if size > wire.REQUEST_LIMIT:
            raise Refused(f"a request of {size} bytes (at most {wire.REQUEST_LIMIT})")
        proof = self._read_exactly(wire.PROOF_SIZE, deadline)
        body = self._read_exactly(size, deadline)
        if len(secret) < wire.SECRET_SIZE:
            raise Refused("this agent has no secret, so it serves no one")
        if not hmac.compare_digest(proof, wire.request_proof(secret, nonce, body)):
            raise Refused("no proof of the secret")
        self.sock.sendall(wire.answer_proof(secret, nonce, proof))
        return body

    def _read_exactly(self, count, deadline):
        data = b""
        while len(data) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                raise Refused(f"the request did not arrive within {wire.REQUEST_SECONDS} s")
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(min(count - len(data), 65536))
            except socket.timeout:
                continue
            if not chunk:
                raise Refused("the peer closed the connection before its request was whole")
            data += chunk
        return data


class Group:
    """The processes of one command: its process group and, in the guest,
    a cgroup of its own, which also holds the daemons it started."""

    numbers = itertools.count()

    def __init__(self, use_cgroup):
        self.cgroup = None
        if use_cgroup:
            path = os.path.join(CGROUP_ROOT, "tolvar", f"command-{next(self.numbers)}")
            try:
                os.makedirs(path)
                self.cgroup = path
            except OSError as error:
                log(f"no cgroup for the command ({error}); its process group only")

    def wrap(self, argv):
        if not self.cgroup:
            return argv
        return ["/bin/sh", "-c", 'echo $$ >"$0/cgroup.procs" && exec "$@"', self.cgroup] + argv

    def kill(self, process):
        """SIGTERM to the process group, then SIGKILL to it and to every
        process in the cgroup after a grace."""
        try:
            os.killpg(process.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        deadline = time.monotonic() + TERM_GRACE_SECONDS
        while time.monotonic() < deadline and (process.poll() is None or self.populated()):
            time.sleep(0.2)
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        if self.cgroup:
            try:
                with open(os.path.join(self.cgroup, "cgroup.kill"), "w") as file:
                    file.write("1")
            except OSError as error:
                log(f"cannot kill the cgroup {self.cgroup}: {error}")
        process.wait()

    def populated(self):
        if not self.cgroup:
            return False
        try:
            with open(os.path.join(self.cgroup, "cgroup.events")) as file:
                return "populated 1" in file.read()
        except OSError:
            return False

    def release(self):
        """Removes the cgroup once nothing is left in it (a session's
        wineserver may outlive the command that started it)."""
        if self.cgroup and not self.populated():
            try:
                os.rmdir(self.cgroup)
            except OSError:
                pass


class Processors:
    """The guest's processor for each Wine session. A session's programs
    talk to its wineserver and device host all the time: on one emulated
    processor each message is a task switch inside the guest, while across
    two it wakes another of QEMU's host threads, which a busy host makes
    late (a run of requests to the driver stand-in took half as long on
    one). So every command of one prefix (TOLVAR_WINEPREFIX) runs on one
    processor, its session's daemons with it, and the prefixes take the
    processors in turn, so that two sessions' tests run side by side."""

    def __init__(self):
        self.available = sorted(os.sched_getaffinity(0))
        self.chosen = {}
        self.lock = threading.Lock()

    def wrap(self, argv, env):
        prefix = env.get("TOLVAR_WINEPREFIX")
        if not prefix or len(self.available) < 2:
            return argv
        with self.lock:
            if prefix not in self.chosen:
                self.chosen[prefix] = self.available[len(self.chosen) % len(self.available)]
            processor = self.chosen[prefix]
        return ["taskset", "--cpu-list", str(processor)] + argv


def run(connection, request, use_cgroup, processors):
    argv = request["argv"]
    cwd = request.get("cwd") or "/"
    if not os.path.isdir(cwd):
        cwd = "/"
    limit = float(request.get("limit", 3600))
    group = Group(use_cgroup)
    try:
        env = command_environment(request.get("env", {}))
        command = processors.wrap(argv, env) if processors else argv
        process = subprocess.Popen(group.wrap(command), cwd=cwd, env=env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, start_new_session=True)
    except OSError as error:
        group.release()
        connection.send(wire.MESSAGE, f"cannot run {argv[0]}: {error}".encode())
        return 127 if isinstance(error, FileNotFoundError) else 126

    selector = selectors.DefaultSelector()
    selector.register(process.stdout, selectors.EVENT_READ, wire.OUTPUT)
    selector.register(process.stderr, selectors.EVENT_READ, wire.ERRORS)
    selector.register(connection.sock, selectors.EVENT_READ, None)
    started = time.monotonic()
    last_heartbeat = started
    exited_at = None
    status = None
    try:
        while True:
            now = time.monotonic()
            if exited_at is None and process.poll() is not None:
                exited_at = now
            open_pipes = len(selector.get_map()) - 1
            if exited_at is not None and (open_pipes == 0 or now - exited_at > DRAIN_SECONDS):
                status = process.returncode
                break
            if exited_at is None and now - started > limit:
                connection.send(wire.MESSAGE,
                                f"{argv[0]} ran past its limit of {limit:g} s".encode())
                group.kill(process)
                status = 124
                break
            for key, _ in selector.select(timeout=1):
                if key.data is None:
                    if not connection.sock.recv(4096):
                        log(f"host disconnected; killing {argv[0]}")
                        group.kill(process)
                        return None
                    continue
                data = os.read(key.fileobj.fileno(), 65536)
                if data:
                    connection.send(key.data, data)
                else:
                    selector.unregister(key.fileobj)
            if now - last_heartbeat >= HEARTBEAT_SECONDS:
                connection.send(wire.HEARTBEAT)
                last_heartbeat = now
    except OSError:
        log(f"connection lost; killing {argv[0]}")
        group.kill(process)
        return None
    finally:
        selector.close()
        process.stdout.close()
        process.stderr.close()
        group.release()
    return status if status >= 0 else 128 - status


class Agent(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, port, idle, secret, use_cgroup, processors):
        super().__init__((address, port), Handler)
        self.idle = idle
        self.secret = secret
        self.use_cgroup = use_cgroup
        self.processors = processors
        self.active = 0
        self.last_request = time.monotonic()
        self.state = threading.Lock()
        self.connections = threading.BoundedSemaphore(CONNECTIONS)

    def begin(self):
        with self.state:
            self.active += 1

    def end(self):
        with self.state:
            self.active -= 1
            self.last_request = time.monotonic()

    def watch_idle(self):
        while True:
            time.sleep(5)
            with self.state:
                idle_for = time.monotonic() - self.last_request
                if self.active == 0 and idle_for > self.idle:
                    log(f"no request for {idle_for:.0f} s; ending")
                    threading.Thread(target=self.shutdown).start()
                    return


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        # Only proven requests count as activity: a peer without the secret
        # keeps neither the guest up nor a thread for long.
        if not self.server.connections.acquire(blocking=False):
            log("too many connections at once; one closed")
            return
        try:
            self.serve()
        finally:
            self.server.connections.release()

    def serve(self):
        connection = Connection(self.request)
        peer = "%s:%s" % self.client_address[:2]
        proven = False
        try:
            body = connection.read_request(self.server.secret,
                                           time.monotonic() + wire.REQUEST_SECONDS)
            proven = True
            self.server.begin()
            self.request.settimeout(None)
            request = wire.checked_request(wire.parsed_request(body))
            if request.get("ping"):
                connection.send(wire.EXIT, b"0")
                return
            began = time.monotonic()
            status = run(connection, request, self.server.use_cgroup, self.server.processors)
            log(f"{' '.join(request['argv'])[:160]} -> {status} in {time.monotonic() - began:.1f} s")
            if status is not None:
                connection.send(wire.EXIT, str(status).encode())
        except Refused as why:
            log(f"refused {peer}: {why}; nothing run")
            if proven:
                try:
                    connection.send(wire.MESSAGE, f"{wire.REFUSED}: {why}".encode())
                except OSError:
                    pass
        except OSError as error:
            log(f"request from {peer} failed: {error}")
        except Exception as error:  # noqa: BLE001 - the host hears of it, and the agent serves on
            log(f"request from {peer} failed: {type(error).__name__}: {error}")
            if proven:
                try:
                    connection.send(wire.MESSAGE,
                                    f"the agent failed: {type(error).__name__}".encode())
                except OSError:
                    pass
        finally:
            if proven:
                self.server.end()


def kernel_parameter(name):
    try:
        with open("/proc/cmdline") as file:
            words = file.read().split()
    except OSError:
        return None
    for word in words:
        if word.startswith(name + "="):
            return word[len(name) + 1:]
    return None


def read_secret(path):
    try:
        with open(path) as file:
            return bytes.fromhex(file.read(1024).strip())
    except (OSError, ValueError) as error:
        log(f"cannot read the secret {path}: {error}; serving no one")
        return b""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    # In the guest, QEMU's user network forwards the host's port to this
    # one; nothing else reaches that network.
    parser.add_argument("--address", default="0.0.0.0")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--idle", type=float, default=300)
    parser.add_argument("--secret-file", default=None)
    options = parser.parse_args()
    in_guest = kernel_parameter("tolvar.mode") == "serve"
    secret_file = options.secret_file or (kernel_parameter("tolvar.secret") if in_guest else None)
    secret = read_secret(secret_file) if secret_file else b""
    if len(secret) < wire.SECRET_SIZE:
        log(f"no secret of at least {wire.SECRET_SIZE} bytes: every request will be refused")
    use_cgroup = False
    if in_guest:
        if not os.path.exists(os.path.join(CGROUP_ROOT, "cgroup.controllers")):
            subprocess.run(["mount", "-t", "cgroup2", "cgroup2", CGROUP_ROOT])
        try:
            os.makedirs(os.path.join(CGROUP_ROOT, "tolvar"), exist_ok=True)
            use_cgroup = os.path.exists(os.path.join(CGROUP_ROOT, "cgroup.controllers"))
        except OSError as error:
            log(f"no cgroups ({error}): a killed command's daemons may outlive it")
    agent = Agent(options.address, options.port, options.idle, secret, use_cgroup,
                  Processors() if in_guest else None)
    threading.Thread(target=agent.watch_idle, daemon=True).start()
    log(f"listening on port {options.port}")
    agent.serve_forever()


if __name__ == "__main__":
    main()
