"""The wire between the runner on the host and the agent in the guest, the
one description both import (the agent from the read-only share of this
tree, so a change here needs no new image).

The agent serves only whoever proves the boot's secret. On each TCP
connection the agent first sends a NONCE_SIZE-byte nonce; the host answers
with a 4-byte big-endian length (at most REQUEST_LIMIT), a PROOF_SIZE-byte
proof, request_proof(secret, nonce, body), and the body, a JSON object:
  {"argv": [...], "cwd": "...", "env": {...}, "limit": seconds}
  {"ping": true}
The whole request must arrive within REQUEST_SECONDS. The proof is compared
in constant time before the body is parsed; a connection without it is
closed with nothing sent or run, and the agent goes on serving. A proven
body nests at most REQUEST_DEPTH levels deep, counted before it is parsed.
The agent then proves the secret in turn, answer_proof(secret, nonce,
proof), and answers with a stream of frames, one kind byte, a 4-byte
big-endian length (at most FRAME_LIMIT) and the payload: OUTPUT, ERRORS, a
HEARTBEAT every few seconds (so the host can tell a silent command from a
dead guest), a MESSAGE from the agent itself, and last EXIT with the exit
status in decimal: the command's own, 128+N when signal N ended it, 124
when it ran past its limit (as timeout(1) reports it). A request that is
not such an object gets a MESSAGE that starts with REFUSED and says why,
and no EXIT.
"""

import hashlib
import hmac
import json
import re
import struct

# The port the agent listens on in the guest; the host forwards one of its
# own to it.
AGENT_PORT = 7000
REQUEST_LIMIT = 1 << 20
FRAME_LIMIT = 1 << 20
NONCE_SIZE = 32
PROOF_SIZE = 32
SECRET_SIZE = 32
REQUEST_SECONDS = 30
LONGEST_LIMIT = 7 * 24 * 3600
# The deepest request the host sends is an object that holds a list or an
# object of strings. json.loads descends once per level, so a deep enough
# body ends it in a RecursionError; the depth is counted first, without
# recursion.
REQUEST_DEPTH = 2
# A JSON string (whose brackets do not count), or a bracket.
JSON_TOKENS = re.compile(rb'"[^"\\]*(?:\\.[^"\\]*)*"|[\[\]{}]', re.DOTALL)

OUTPUT = b"o"
ERRORS = b"e"
HEARTBEAT = b"h"
MESSAGE = b"!"
EXIT = b"x"
REFUSED = "request refused"


class Refused(Exception):
    """A request that is answered with nothing run."""


def request_proof(secret, nonce, body):
    return hmac.new(secret, b"request\0" + nonce + body, hashlib.sha256).digest()


def answer_proof(secret, nonce, proof):
    return hmac.new(secret, b"answer\0" + nonce + proof, hashlib.sha256).digest()


def request_bytes(body, proof):
    """What the host sends after the agent's nonce."""
    return struct.pack(">I", len(body)) + proof + body


def frame(kind, payload=b""):
    return kind + struct.pack(">I", len(payload)) + payload


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


def parsed_request(body):
    """The body parsed as JSON, or Refused saying why; its depth is
    checked in one linear scan before the parser sees it."""
    depth = 0
    for token in JSON_TOKENS.finditer(body):
        if token.group() in (b"[", b"{"):
            depth += 1
            if depth > REQUEST_DEPTH:
                raise Refused(f"the request nests deeper than {REQUEST_DEPTH} levels")
        elif token.group() in (b"]", b"}"):
            depth -= 1
    try:
        return json.loads(body)
    except (ValueError, RecursionError) as error:
        raise Refused(f"the request is not JSON: {error}")


def checked_request(request):
    """The request if it is well formed, else Refused saying why."""
    if not isinstance(request, dict):
        raise Refused(f"a request is a JSON object, not {type(request).__name__}")
    if request.get("ping") is True and len(request) == 1:
        return request
    argv = request.get("argv")
    if not (isinstance(argv, list) and argv and all(isinstance(a, str) and "\0" not in a
                                                    for a in argv)):
        raise Refused("argv must be a non-empty list of strings")
    env = request.get("env", {})
    if not (isinstance(env, dict) and all(isinstance(k, str) and isinstance(v, str)
                                          and k and "=" not in k and "\0" not in k + v
                                          for k, v in env.items())):
        raise Refused("env must map names to strings")
    cwd = request.get("cwd", "/")
    if not isinstance(cwd, str) or "\0" in cwd:
        raise Refused("cwd must be a string")
    limit = request.get("limit", 3600)
    if isinstance(limit, bool) or not isinstance(limit, (int, float)) or \
            not 0 < limit <= LONGEST_LIMIT:
        raise Refused(f"limit must be a number of seconds in (0, {LONGEST_LIMIT}]")
    unknown = set(request) - {"argv", "env", "cwd", "limit"}
    if unknown:
        raise Refused(f"unknown fields {sorted(unknown)}")
    return request
