"""Runs commands for the host inside the 32-bit Wine guest.

The guest's init starts this file from the shared source tree, so a change
here needs no new image. Each TCP connection carries one request, a 4-byte
big-endian length and a JSON object:
  {"argv": [...], "cwd": "...", "env": {...}, "limit": seconds}
  {"ping": true}
The answer is a stream of frames, one kind byte, a 4-byte big-endian length
and the payload: b"o" standard output, b"e" standard error, b"h" a
heartbeat every few seconds (so the host can tell a silent command from a
dead guest), b"!" a message from the agent itself, and last b"x" with the
exit status in decimal: the command's own, 128+N when signal N ended it, 124
when it ran past its limit (as timeout(1) reports it).

Each command runs in a process group of its own. A host that disconnects
(Ctrl-C, or ctest ending the test) gets that group killed; so does a command
past its limit. The agent ends after `--idle` seconds without a request, and
the init then powers the guest off.
"""

import argparse
import json
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

# Prefixes and Wine's sockets live on the guest's own disk: a unix socket
# cannot be bound on 9p, and a prefix there made a session start take 140 s.
PREFIX_ROOT = "/var/lib/tolvar/prefixes"
BASE_TEMPLATE = "/var/lib/tolvar/wine-template"
PREFIX_VARIABLES = ("TOLVAR_WINEPREFIX", "WINEPREFIX", "TOLVAR_SHARED_TEMPLATE")
HEARTBEAT_SECONDS = 5
# After the command exits, output still in its pipes is read this long; a
# process it left behind that keeps them open does not hold the answer.
DRAIN_SECONDS = 5
TERM_GRACE_SECONDS = 5


def log(text):
    print(f"agent: {text}", file=sys.stderr, flush=True)


def guest_path(host_path):
    """Where a prefix named by its host path lives in the guest."""
    return os.path.join(PREFIX_ROOT, os.path.abspath(host_path).lstrip("/"))


def command_environment(requested):
    env = {
        "PATH": "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin",
        "HOME": "/root",
        "TMPDIR": "/tmp",
        "TOLVAR_BASE_TEMPLATE": BASE_TEMPLATE,
    }
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
            self.sock.sendall(kind + struct.pack(">I", len(payload)) + payload)

    def read_request(self):
        header = self._read_exactly(4)
        return json.loads(self._read_exactly(struct.unpack(">I", header)[0]))

    def _read_exactly(self, count):
        data = b""
        while len(data) < count:
            chunk = self.sock.recv(count - len(data))
            if not chunk:
                raise ConnectionError("the host closed the connection")
            data += chunk
        return data


def kill_group(process):
    """SIGTERM to the command's process group, SIGKILL after a grace."""
    for sig, wait in ((signal.SIGTERM, TERM_GRACE_SECONDS), (signal.SIGKILL, 0)):
        try:
            os.killpg(process.pid, sig)
        except ProcessLookupError:
            return
        try:
            process.wait(wait)
            return
        except subprocess.TimeoutExpired:
            continue


def run(connection, request):
    argv = request["argv"]
    cwd = request.get("cwd") or "/"
    if not os.path.isdir(cwd):
        cwd = "/"
    limit = float(request.get("limit") or 3600)
    try:
        process = subprocess.Popen(argv, cwd=cwd, env=command_environment(request.get("env", {})),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, start_new_session=True)
    except OSError as error:
        connection.send(b"!", f"cannot run {argv[0]}: {error}".encode())
        return 127 if isinstance(error, FileNotFoundError) else 126

    selector = selectors.DefaultSelector()
    selector.register(process.stdout, selectors.EVENT_READ, b"o")
    selector.register(process.stderr, selectors.EVENT_READ, b"e")
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
                connection.send(b"!", f"{argv[0]} ran past its limit of {limit:g} s".encode())
                kill_group(process)
                status = 124
                break
            for key, _ in selector.select(timeout=1):
                if key.data is None:
                    if not connection.sock.recv(4096):
                        log(f"host disconnected; killing {argv[0]}")
                        kill_group(process)
                        return None
                    continue
                data = os.read(key.fileobj.fileno(), 65536)
                if data:
                    connection.send(key.data, data)
                else:
                    selector.unregister(key.fileobj)
            if now - last_heartbeat >= HEARTBEAT_SECONDS:
                connection.send(b"h")
                last_heartbeat = now
    except OSError:
        log(f"connection lost; killing {argv[0]}")
        kill_group(process)
        return None
    finally:
        selector.close()
        process.stdout.close()
        process.stderr.close()
    return status if status >= 0 else 128 - status


class Agent(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, port, idle):
        super().__init__((address, port), Handler)
        self.idle = idle
        self.active = 0
        self.last_request = time.monotonic()
        self.state = threading.Lock()

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
        self.server.begin()
        try:
            connection = Connection(self.request)
            # A host that connects and says nothing must not hold the
            # guest up for ever (an open request keeps it from idling off).
            self.request.settimeout(30)
            request = connection.read_request()
            self.request.settimeout(None)
            if request.get("ping"):
                connection.send(b"x", b"0")
                return
            began = time.monotonic()
            status = run(connection, request)
            log(f"{' '.join(request['argv'])[:160]} -> {status} in {time.monotonic() - began:.1f} s")
            if status is not None:
                connection.send(b"x", str(status).encode())
        except (OSError, ValueError, KeyError) as error:
            log(f"request failed: {error}")
        finally:
            self.server.end()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    # In the guest, QEMU's user network forwards the host's port to this
    # one; nothing else reaches that network.
    parser.add_argument("--address", default="0.0.0.0")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--idle", type=float, default=300)
    options = parser.parse_args()
    agent = Agent(options.address, options.port, options.idle)
    threading.Thread(target=agent.watch_idle, daemon=True).start()
    log(f"listening on port {options.port}")
    agent.serve_forever()


if __name__ == "__main__":
    main()
