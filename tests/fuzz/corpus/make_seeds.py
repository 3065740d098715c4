#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into corpus/<target>/.

Each seed is a well-formed case of one path of an export (success, each
refusal, each failing device, both code pages), so that the fuzzer starts
from inputs that reach every step. The layouts are those read by the
targets' LLVMFuzzerTestOneInput."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as seed:
        seed.write(bytes(data))


def field(text, size=260):
    raw = text if isinstance(text, bytes) else text.encode("latin-1")
    return raw[:size] + bytes(max(0, size - len(raw)))


def record(letter, flag, backup, data, details=b"\x5a" * 304):
    return bytes([letter]) + b"\xee\xee\xee" + struct.pack("<I", flag) + field(backup) + \
        field(data) + details


def no_faults():
    return bytes([0])


def one_fault(function, error, occurrence):
    return bytes([1, function, error, occurrence])


# --- open: setup, index, faults, record ------------------------------------
VOLUME, VOLUME_FLUSH_FAILS, DEVICE, DEVICE_OPEN_FAILS, REQUEST_FAILS, SHIFT_JIS = 1, 2, 4, 8, 16, 32
ok = VOLUME | DEVICE
write("open", "success_no_backup", bytes([ok, 3]) + no_faults() +
      record(ord("D"), 0, "", "C:\\Drives\\d1.dat"))
write("open", "success_backup", bytes([ok, 0]) + no_faults() +
      record(ord("d"), 1, "C:\\Backups\\d1.bak", "C:\\Drives\\d1.dat"))
write("open", "shortest_paths", bytes([ok, 1]) + no_faults() + record(ord("E"), 1, "C:\\b", "C:\\a"))
write("open", "data_unterminated", bytes([ok, 2]) + no_faults() +
      record(ord("D"), 0, "", b"x" * 260))
write("open", "backup_unterminated", bytes([ok, 2]) + no_faults() +
      record(ord("D"), 1, b"y" * 260, "C:\\d.dat"))
write("open", "longest_data", bytes([ok, 2]) + no_faults() +
      record(ord("D"), 0, "", "C:\\" + "p\\" * 128))
write("open", "shift_jis", bytes([ok | SHIFT_JIS, 0]) + no_faults() +
      record(0xE4, 0, "", b"C:\\\x82\xa0\x83\x41\xb1\\d.dat\x82"))
write("open", "volume_flush_fails", bytes([ok | VOLUME_FLUSH_FAILS, 0]) + no_faults() +
      record(ord("D"), 0, "", "C:\\Drives\\d1.dat"))
write("open", "request_fails", bytes([ok | REQUEST_FAILS, 0]) + no_faults() +
      record(ord("D"), 0, "", "C:\\Drives\\d1.dat"))
write("open", "device_flush_fault", bytes([ok, 0]) + one_fault(1, 0, 0) +
      record(ord("D"), 0, "", "C:\\Drives\\d1.dat"))

# --- query_reload: setup, fill, length, record pattern, faults, reply -------
RELOAD, QR_SHIFT_JIS, QUERY_FAILS, QR_VOLUME, QR_VOLUME_FLUSH_FAILS, DISMOUNT_FAILS, RELOAD_FAILS, \
    DEVICE_FLUSH_FAILS = 1, 2, 4, 8, 16, 32, 64, 128


def wide(text, size=260):
    units = [ord(c) for c in text] if isinstance(text, str) else list(text)
    units = units[:size] + [0] * max(0, size - len(units))
    return struct.pack("<%dH" % size, *units)


def reply(letter, flag, backup, data, details=bytes(range(256)) + bytes(48)):
    return struct.pack("<HHI", letter, 0, flag) + wide(backup) + wide(data) + details


def query_reload(name, setup, body, length=None, fill=0, pattern=0x11, faults=no_faults()):
    length = len(body) if length is None else length
    write("query_reload", name, bytes([setup, fill]) + struct.pack("<H", length) +
          bytes([pattern]) + faults + body[:length])


good = reply(ord("R"), 0, "", "C:\\Drives\\r.img")
query_reload("query_success", 0, good)
query_reload("query_short", 0, good, length=1351)
query_reload("query_long", 0, good + b"\xff" * 600)
query_reload("query_unterminated", 0, reply(0x0144, 7, "B" * 260, "D" * 260), fill=0x41)
query_reload("query_past_reply", 0, good, length=2400, fill=0x41)
query_reload("query_fails", QUERY_FAILS, good)
query_reload("query_shift_jis", QR_SHIFT_JIS,
             reply(ord("k"), 0, [0x3042] * 259, [0xFF71, 0x30A2, 0xD83D, 0xDE00] * 65))
query_reload("query_surrogates", 0, reply(ord("S"), 0, [0xD800] * 260, [0xDC00, 0x20AC] * 130))
WIDE_QUERY = DEVICE_FLUSH_FAILS  # a query flushes nothing: the same bit picks TolvarQueryW
query_reload("wide_query_success", WIDE_QUERY,
             reply(0x03A9, 1, "C:\\Backups\\b.bak", "C:\\Drives\\\u03a9mega\\d.dat"))
query_reload("wide_query_cut", WIDE_QUERY,
             reply(0x0144, 0, [0x79] * 257 + [0xD83D, 0xDDC4, 0x7A], [0x78] * 258 + [0xD83D, 0xDDC4]))
query_reload("wide_query_short", WIDE_QUERY, good, length=1351)
query_reload("reload_success", RELOAD | QR_VOLUME, good)
query_reload("reload_backup_mode", RELOAD | QR_VOLUME, reply(ord("R"), 1, "C:\\b", "C:\\d"))
query_reload("reload_no_volume", RELOAD, good)
query_reload("reload_not_a_letter", RELOAD | QR_VOLUME, reply(ord("1"), 0, "", "C:\\d"))
query_reload("reload_volume_flush_fails", RELOAD | QR_VOLUME | QR_VOLUME_FLUSH_FAILS, good)
query_reload("reload_dismount_fails", RELOAD | QR_VOLUME | DISMOUNT_FAILS, good)
query_reload("reload_lower_fails", RELOAD | QR_VOLUME | RELOAD_FAILS, good)
query_reload("reload_device_flush_fails", RELOAD | QR_VOLUME | DEVICE_FLUSH_FAILS, good)
query_reload("reload_short", RELOAD | QR_VOLUME, good, length=100)
query_reload("reload_lookup_fault", RELOAD | QR_VOLUME, good, faults=one_fault(4, 1, 0))

# --- letters_handshake: export, letter, index, setup, reply length, faults,
#     block, reply -------------------------------------------------------
ADD, REMOVE, CHALLENGE, AUTHEN, DEAUTHEN = range(5)
L_VOLUME, COVERED, L_DEVICE, L_OPEN_FAILS, L_REQUEST_FAILS, HIGH_INDEX = 1, 2, 4, 8, 16, 32
block = bytes(range(0x30, 0x40))
challenge = bytes(range(0x80, 0x80 + 40))


def letters(name, which, letter, index, setup, length=16, faults=no_faults()):
    write("letters_handshake", name, bytes([which, letter, index, setup, length]) + faults + block +
          challenge[:length])


letters("add_free", ADD, ord("q"), 2, 0)
letters("add_taken", ADD, ord("C"), 0, L_VOLUME)
letters("add_covered", ADD, ord("C"), 0, L_VOLUME | COVERED)
letters("add_high_index", ADD, ord("Z"), 0xFF, HIGH_INDEX)
letters("add_not_a_letter", ADD, ord("["), 0, 0)
letters("add_high_byte", ADD, 0xC4, 0, L_VOLUME)
letters("remove_defined", REMOVE, ord("Q"), 0, L_VOLUME)
letters("remove_undefined", REMOVE, ord("m"), 0, 0)
letters("challenge", CHALLENGE, 0, 1, L_DEVICE, 16)
letters("challenge_short", CHALLENGE, 0, 1, L_DEVICE, 15)
letters("challenge_long", CHALLENGE, 0, 1, L_DEVICE, 40)
letters("challenge_fails", CHALLENGE, 0, 1, L_DEVICE | L_REQUEST_FAILS, 16)
letters("challenge_no_device", CHALLENGE, 0, 1, 0, 16)
letters("authen", AUTHEN, 0, 2, L_DEVICE)
letters("authen_open_fails", AUTHEN, 0, 2, L_DEVICE | L_OPEN_FAILS)
letters("deauthen", DEAUTHEN, 0, 3, L_DEVICE)
letters("deauthen_fault", DEAUTHEN, 0, 3, L_DEVICE, faults=one_fault(1, 2, 0))


# --- stand_in: device index, then operations (stand_in_fuzzer.cpp's Run) ----
REQUEST, SCRIPT, OPEN, HANDSHAKE, FLUSH, CRASH = range(6)
# Indexes into the target's code list and its list of lengths.
C_OPEN, C_CLOSE, C_RELOAD, C_CHALLENGE, C_AUTHEN, C_DEAUTHEN, C_QUERY, C_DISMOUNT = range(8)
C_RESET, C_SCRIPT, C_JOURNAL, C_AUTH_REQUIRED, C_SECRET = 10, 11, 12, 13, 14
LEN = {0: 0, 4: 1, 16: 3, 24: 5, 68: 6, 1048: 8, 1351: 10, 1352: 11, 3112: 14}


def request(code, in_bytes=b"", out_length=0):
    return bytes([REQUEST, code, LEN[len(in_bytes)], LEN[out_length]]) + in_bytes


def script(code, status_index, information, perform, fill, kind=0):
    code_byte = bytes([code]) if kind < 200 else b""
    return bytes([SCRIPT, kind]) + code_byte + bytes([status_index, 0, LEN[information], perform,
                                                      fill])


def open_drive(letter, backup_length, data_length, out_length=0):
    return bytes([OPEN, letter, 0, 0, 0, 1, 0, 0, 0]) + struct.pack("<HH", backup_length,
                                                                     data_length) + \
        bytes([LEN[out_length]])


def stand_in(name, *operations, index=0):
    write("stand_in", name, bytes([index]) + b"".join(operations))


stand_in("perform_query_closed", script(C_QUERY, 0, 1352, 1, 0x5A), request(C_QUERY, b"", 1352))
stand_in("perform_challenge_long", script(C_CHALLENGE, 0, 1352, 1, 0x77),
         request(C_CHALLENGE, b"", 1352))
stand_in("open_query_journal", open_drive(ord("D"), 12, 20), request(C_QUERY, b"", 1352),
         request(C_RELOAD), request(C_CLOSE), request(C_JOURNAL, b"", 3112), index=3)
stand_in("auth_required_handshake", request(C_AUTH_REQUIRED, b"\x01\x00\x00\x00"),
         bytes([HANDSHAKE, 0, 0]), open_drive(ord("E"), 0, 8), request(C_QUERY, b"", 1351),
         request(C_DEAUTHEN), request(C_QUERY, b"", 1352))
stand_in("pending_and_flush_scripts", script(C_CLOSE, 3, 0, 0, 0), script(0, 1, 0, 0, 0, kind=200),
         bytes([FLUSH]), script(C_DISMOUNT, 2, 16, 0, 0x11), request(C_DISMOUNT, b"", 16),
         bytes([FLUSH]), request(C_RESET))
stand_in("secret_and_crash", request(C_SECRET, struct.pack("<I", 5) + b"hello" + bytes(59)),
         bytes([HANDSHAKE, 0, 1]), bytes([CRASH, LEN[4]]) + struct.pack("<I", 0x0DEADC0D) + bytes([0]),
         index=1)
