#!/usr/bin/env python3
"""Writes the well-formed starting inputs of the fuzz targets next to this script.

Each target's folder holds these seeds and any minimised input that once found a
fault (those are named crash-*/hang-* and are never rewritten here). Run it again
after changing an input layout; the fuzzers and the replay test read the folders.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # nothing of ours is left in the source tree
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "harness"))
from headers import DISCOVERY, MSG, Header  # noqa: E402

PRODUCT = Header("util/product.h")
# The launcher's version as its window shows it and its login sends it.
VERSION_TEXT = "%d.%d Build %d.%d Rel" % (PRODUCT.QV_VERSION_MAJOR, PRODUCT.QV_VERSION_MINOR,
                                          PRODUCT.QV_VERSION_BUILD, PRODUCT.QV_VERSION_REVISION)


def word(x):
    return struct.pack("<I", x & 0xFFFFFFFF)


def text(s):
    b = s.encode("latin-1")
    b = word(len(b)) + b
    return b + b"\0" * (-len(b) % 4)


def msg(ident, code, body=b""):
    return struct.pack("<HHI", ident, code, len(body)) + body


def write(target, name, data):
    folder = os.path.join(HERE, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# ---------------------------------------------------------------------------
# Session: flags, setup, chunk sizes, then what the controller sends. Endpoint
# ids are 1 (query), 2 (download), 3 (nesting endpoint), then 4 and 5 for the
# login's challenge and login queries.
QUERY, DOWNLOAD, NESTING, CHALLENGE_Q, LOGIN_Q = 1, 2, 3, 4, 5


def session(flags, setup, chunks, stream):
    return bytes([flags, setup, len(chunks)]) + bytes(chunks) + stream


program = bytes(range(256)) * 3
version_reply = msg(QUERY, MSG.MSG_GET_VERSION_REPLY, text("7.1.1.0") + word(5))
whole_file = msg(DOWNLOAD, MSG.MSG_VIEWER_EXE_FILE, word(len(program)) + program)

write("fuzz_session", "seed-version-then-whole-file",
      session(0x00 | (2 << 5), 0, [], version_reply + whole_file))

pieces = b""
total = len(program)
for at in range(0, total, 200):
    part = program[at:at + 200]
    code = MSG.MSG_FILE_PIECE if at % 400 == 0 else MSG.MSG_FILE_PIECE2
    pieces += msg(DOWNLOAD, code, word(total) + word(len(part)) + part)
write("fuzz_session", "seed-pieces-in-small-chunks",
      session(0x00 | 0x02 | (1 << 5), 0x80, [7, 0, 130, 3], version_reply + pieces))

login = (msg(CHALLENGE_Q, MSG.MSG_GET_CHALLENGE_REPLY, text("0123456789abcdef")) +
         msg(LOGIN_Q, MSG.MSG_LOGIN_REPLY, word(0)) + msg(0, MSG.MSG_GET_VERSION_REPLY, text(VERSION_TEXT)) +
         msg(QUERY, MSG.MSG_GET_VERSION_REPLY, text("4_0_488_0")) +
         msg(DOWNLOAD, MSG.MSG_CONFIG_EXE_FILE, word(16) + program[:16]))
write("fuzz_session", "seed-login-then-configurator", session(0x01 | 0x10 | (7 << 5), 0x10, [255], login))

# Messages for other endpoints arrive first and are put aside; the nesting
# endpoint polls, pumps, answers and leaves from inside its handler.
nested = (msg(NESTING, 1, text("poll")) + msg(MSG.MSG_ID_UNSOLICITED, 5, word(1)) + msg(NESTING, 2) +
          msg(NESTING, 3) + msg(DOWNLOAD, MSG.MSG_FILE_PIECE, word(8) + word(4) + b"abcd") +
          msg(NESTING, 5, word(9)) + version_reply + msg(NESTING, 4) +
          msg(DOWNLOAD, MSG.MSG_FILE_PIECE2, word(8) + word(4) + b"efgh"))
write("fuzz_session", "seed-nested-handlers", session(0x00 | (4 << 5), 0x40, [20, 9], nested))

# A damaged piece (length past the message) and an oversized announced total.
write("fuzz_session", "seed-damaged-piece",
      session(0x0C, 0, [], msg(DOWNLOAD, MSG.MSG_FILE_PIECE, word(100) + word(50) + b"short")))
write("fuzz_session", "seed-huge-total",
      session(0x0C, 0, [], msg(DOWNLOAD, MSG.MSG_FILE_PIECE, word(0x7FFFFFFF) + word(4) + b"abcd")))

# More messages for an absent endpoint than the session puts aside while the
# query waits; the answer behind them still reaches the query.
write("fuzz_session", "seed-many-put-aside",
      session(0x00, 0, [], b"".join(msg(9, 1) for _ in range(300)) + version_reply))

# ---------------------------------------------------------------------------
# Discovery: a length pick, then the datagram.
NAME_FIELD = DISCOVERY.SYSTEM_ANSWER_NAME_FIELD
answer = (word(DISCOVERY.ANSWER_TYPE) + bytes([192, 168, 1, 20]) + struct.pack("<H", 80) +
          bytes([DISCOVERY.DISCOVERY_STATUS_SELECTABLE, 0]) + b"KITCHEN".ljust(NAME_FIELD, b"\0"))
write("fuzz_discovery", "seed-answer", b"\0" + answer)
write("fuzz_discovery", "seed-unterminated-name", b"\0" + answer[:-NAME_FIELD] + b"N" * NAME_FIELD)
write("fuzz_discovery", "seed-short", bytes([128 + DISCOVERY.SYSTEM_ANSWER_SIZE - 1]) + answer)

# ---------------------------------------------------------------------------
# Login file: operation count, operations, then the file.
login_file = (text("KITCHEN") + text("secret") + word(0) + word(0x1401A8C0) + word(1) + word(1) +
              word(0) + word(2) + word(1))
write("fuzz_loginfile", "seed-login", bytes([4, 0x02, 0x02, 0x00, 0x04 | (4 << 3)]) + login_file)
wide = "KITCHEN".encode("utf-16-le")
write("fuzz_loginfile", "seed-wide-name",
      bytes([3, 0x03, 0x07, 0x01]) + word(0x80000000 | len(wide)) + wide + text("pw") + word(0) * 7)
write("fuzz_loginfile", "seed-absurd-length", bytes([0]) + word(0x7FFFFFF0) + b"abc")

# ---------------------------------------------------------------------------
# Options: path repeats, then byte-length texts and three words.


def btext(s):
    b = s.encode("latin-1")
    return bytes([len(b)]) + b


def options(repeats, texts, words):
    return struct.pack("<H", repeats) + b"".join(btext(t) for t in texts) + b"".join(word(w) for w in words)


write("fuzz_options", "seed-silent-start", options(0, [
    "/USER:", "/TYPE:1 /SILENT /USER:KITCHEN /PASS:secret ", "/IPADDR:0x1401A8C0 /SIZE:2 /DEMO",
    VERSION_TEXT, "192.168.1.20", "C:\\Data\\7_1_1_0\\Viewer.exe", "KITCHEN", "secret",
    "\\\\.\\pipe\\0000ABCD", "/WNDDX:1024 /WNDDY:576"], [0x1401A8C0, 0x00070001, 22050]))
write("fuzz_options", "seed-long-path", options(400, [
    "/PASS:", "\"C:\\Program Files\\Rerudi.exe\" /PASS:abc  /USER:x", "", "4.0.488.0", "10.0.0.1.5",
    "C:\\" + "d" * 100, "user", "pw", "pipe", ""], [0xFFFFFFFF, 0x80000000, 65535 + 1000]))

