#!/usr/bin/python3
"""An SFTP version 3 server that breaks the protocol in one chosen way, for the tests of the client's
defences. sshd runs it as its sftp subsystem: the channel is stdin and stdout. The word in the file
.hostile-mode in the current folder (the user's home) picks a row of MODES; without the file, or with
"honest", it answers as a plain server would. Otherwise it answers just enough for the client to reach
the step the mode breaks: INIT, REALPATH, OPENDIR, READDIR (one file), OPEN, FSTAT, READ and CLOSE.
"""
import struct
import sys

INIT, VERSION, OPEN, CLOSE, READ, FSTAT, OPENDIR, READDIR, REALPATH = 1, 2, 3, 4, 5, 8, 11, 12, 16
STATUS, HANDLE, DATA, NAME, ATTRS = 101, 102, 103, 104, 105
OK, EOF, UNSUPPORTED = 0, 1, 8
CONTENT = b"the one file's bytes\n"


def u32(n):
    return struct.pack(">I", n)


def string(b):
    return u32(len(b)) + b


def packet(kind, *fields):
    body = bytes([kind]) + b"".join(fields)
    return u32(len(body)) + body


def status(rid, code):
    return packet(STATUS, u32(rid), u32(code), string(b""), string(b""))


def names(rid, count, *entries):
    # Each entry: its name, the same as its long form, and no attributes.
    return packet(NAME, u32(rid), u32(count), *(string(e) + string(e) + u32(0) for e in entries))


def asked(req):
    """The offset and length a READ asks for."""
    (skip,) = struct.unpack(">I", req[:4])
    return struct.unpack(">QI", req[4 + skip:16 + skip])


listed = set()  # the handles whose one entry was given already


def readdir(rid, req):
    if req in listed:
        return status(rid, EOF)
    listed.add(req)
    return names(rid, 1, b"file.txt")


def read(rid, req):
    offset, length = asked(req)
    chunk = CONTENT[offset:offset + length]
    return packet(DATA, u32(rid), string(chunk)) if chunk else status(rid, EOF)


def once(bad, good):
    """bad for the first request, good for the rest: a client that takes the bad answer still ends."""
    answered = []

    def answer(rid, req):
        answered.append(rid)
        return (bad if len(answered) == 1 else good)(rid, req)
    return answer


HONEST = {
    INIT: lambda rid, req: packet(VERSION, u32(3)),
    REALPATH: lambda rid, req: names(rid, 1, b"/"),
    OPENDIR: lambda rid, req: packet(HANDLE, u32(rid), string(b"d1")),
    READDIR: readdir,
    OPEN: lambda rid, req: packet(HANDLE, u32(rid), string(b"f1")),
    FSTAT: lambda rid, req: packet(ATTRS, u32(rid), u32(1), struct.pack(">Q", len(CONTENT))),
    READ: read,
    CLOSE: lambda rid, req: status(rid, OK),
}

# What each mode answers instead, by the request it answers.
MODES = {
    "honest": {},
    "version-4": {INIT: lambda rid, req: packet(VERSION, u32(4))},
    "empty-packet": {REALPATH: lambda rid, req: u32(0)},
    "huge-packet": {REALPATH: lambda rid, req: u32(0xFFFFFFFF) + bytes([NAME])},
    "unasked-answers": {REALPATH: lambda rid, req: b"".join(status(rid + 1 + i, OK) for i in range(300))},
    "names-missing": {READDIR: once(lambda rid, req: names(rid, 3, b"only-one"), readdir)},
    "long-handle": {OPENDIR: lambda rid, req: packet(HANDLE, u32(rid), string(b"h" * 257))},
    "long-read": {READ: once(lambda rid, req: packet(DATA, u32(rid), string(b"x" * (asked(req)[1] + 1))),
                             read)},
    "empty-read": {READ: once(lambda rid, req: packet(DATA, u32(rid), string(b"")), read)},
    # Allowed: fewer bytes than asked; the end answered to the read after them does not end the file.
    "short-read": {READ: once(lambda rid, req: packet(DATA, u32(rid), string(CONTENT[:5])), read)},
}


def main():
    try:
        with open(".hostile-mode") as f:
            mode = f.read().strip()
    except FileNotFoundError:
        mode = "honest"
    answers = HONEST | MODES[mode]
    source, sink = sys.stdin.buffer, sys.stdout.buffer
    while len(head := source.read(4)) == 4:
        body = source.read(struct.unpack(">I", head)[0])
        # INIT has no request id: its version takes the id's place, unused.
        kind, (rid,), req = body[0], struct.unpack(">I", body[1:5]), body[5:]
        answer = answers.get(kind)
        sink.write(answer(rid, req) if answer else status(rid, UNSUPPORTED))
        sink.flush()


if __name__ == "__main__":
    main()
