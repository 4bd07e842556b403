#!/usr/bin/python3
"""A scripted OSCAR peer on loopback: an ICQ login server and the service server it redirects to.

The login server greets, checks the identification packet byte for byte (the UIN, the password
XORed with the service's key, every other TLV as the client must send it) and answers with the
service server's address and a cookie, or with a refusal. The service server greets, takes the
cookie and walks the client through the sign-on SNAC sequence, checking each packet the client
sends against the one it must send at that point. After sign-on it records messages and SMS
requests and answers each SMS as --sms says.

Everything the peer sees is written to --record as JSON lines ({"event": ...}); anything the client
sends that it should not is an "error" event, after which the peer closes the connection. FLAP
sequence numbers must go up by one per frame across both connections.

--mode: ok; bad-password / too-often (refuse the login); close-before-signon (the service server
closes after the cookie); silent (the login server never greets); malformed-address (port 0);
hold-redirect (the login server holds the redirect for a second, then records "redirect-sent" and
sends it);
oversized / unmarked (the service server answers the cookie with a frame too long for a buffer /
a frame without the start marker); close-after-signon (a close frame once signed on).
--sms: deliverable, undeliverable, refused, silent (never answer), reply (an SMS reply message).
--reach says how the client reached the peer, which its status packet must tell: direct (kind 4),
socks (kind 2) or https (no kind byte).
--split writes every frame in three pieces with pauses between them; otherwise the frames of one
answer go out in one write.
"""
import argparse
import asyncio
import json
import os
import re
import socket
import struct

parser = argparse.ArgumentParser()
for name in ("--port", "--service-port", "--uin"):
    parser.add_argument(name, type=int, required=True)
for name, default in (("--password", None), ("--record", None), ("--mode", "ok"), ("--sms", "deliverable"),
                      ("--reach", "direct")):
    parser.add_argument(name, default=default, required=default is None)
parser.add_argument("--split", action="store_true")
args = parser.parse_args()

KEY = bytes([0xF3, 0x26, 0x81, 0xC4, 0x39, 0x86, 0xDB, 0x92, 0x71, 0xA3, 0xB9, 0xE6, 0x53, 0x7A, 0x95, 0x7C])
COOKIE = os.urandom(256)
MAX_DATA = 8186


def roast(password):
    data = password.encode("latin-1", "replace")[:16]
    return bytes(b ^ k for b, k in zip(data, KEY))


def tlv(kind, value):
    return struct.pack(">HH", kind, len(value)) + value


def word_tlv(kind, size, value):
    return tlv(kind, value.to_bytes(size, "big"))


# The identification packet after its version word, as the client must send it.
IDENT = (tlv(1, str(args.uin).encode()) + tlv(2, roast(args.password))
         + tlv(3, b"ICQ Inc. - Product of ICQ (TM).2003b.5.56.1.3916.85")
         + word_tlv(0x16, 2, 0x010A) + word_tlv(0x17, 2, 5) + word_tlv(0x18, 2, 37) + word_tlv(0x19, 2, 1)
         + word_tlv(0x1A, 2, 3728) + word_tlv(0x14, 4, 85) + tlv(0x0F, b"en") + tlv(0x0E, b"us"))

FAMILIES = [(1, 3, 0x0110), (0x13, 2, 0x0110), (2, 1, 0x0101), (3, 1, 0x0110), (0x15, 1, 0x0110),
            (4, 1, 0x0110), (6, 1, 0x0110), (9, 1, 0x0110), (0x0A, 1, 0x0110), (0x0B, 1, 0x0110)]
CAPABILITIES = bytes.fromhex("09 46 13 49 4C 7F 11 D1 82 22 44 45 53 54 00 00"
                             "97 B1 27 51 24 3C 43 34 AD 22 D6 AB F7 3F 14 92"
                             "2E 7A 64 75 FA DF 4D C8 88 6F EA 35 95 FD B6 DF"
                             "09 46 13 44 4C 7F 11 D1 82 22 44 45 53 54 00 00")


def snac(family, subtype, body=b"", req_id=0):
    return struct.pack(">HHHI", family, subtype, 0, req_id) + body


# What the client must send, in order, once it has the rate information and once privacy rights.
AFTER_RATES = [snac(1, 8, b"".join(struct.pack(">H", n) for n in range(1, 6))),
               snac(4, 2, struct.pack(">HIHHHI", 0, 3, 8000, 999, 999, 0)),
               snac(1, 0x0E), snac(2, 2), snac(3, 2), snac(4, 4), snac(9, 2)]


class Failure(Exception):
    pass


class Record:
    def __init__(self, path):
        self.file = open(path, "a", buffering=1)
        self.last_seq = None

    def __call__(self, event, **fields):
        self.file.write(json.dumps(dict(event=event, **fields)) + "\n")

    def sequence(self, seq):
        if self.last_seq is not None and seq != (self.last_seq + 1) & 0xFFFF:
            raise Failure("FLAP sequence %d after %d" % (seq, self.last_seq))
        self.last_seq = seq


record = Record(args.record)


class Connection:
    def __init__(self, reader, writer):
        self.reader, self.writer, self.seq = reader, writer, 0

    async def send(self, channel, data=b"", marker=0x2A, length=None):
        frame = struct.pack(">BBHH", marker, channel, self.seq, len(data) if length is None else length) + data
        self.seq = (self.seq + 1) & 0xFFFF
        if not args.split:
            self.writer.write(frame)
            return
        third = max(1, len(frame) // 3)
        for piece in (frame[:third], frame[third:2 * third], frame[2 * third:]):
            self.writer.write(piece)
            await self.writer.drain()
            await asyncio.sleep(0.05)

    async def frame(self):
        header = await self.reader.readexactly(6)
        marker, channel, seq, length = struct.unpack(">BBHH", header)
        if marker != 0x2A or length > MAX_DATA:
            raise Failure("bad FLAP header " + header.hex())
        record.sequence(seq)
        return channel, await self.reader.readexactly(length)

    async def expect(self, channel, data, what):
        got = await self.frame()
        if got != (channel, data):
            raise Failure("expected %s, got channel %d: %s" % (what, got[0], got[1].hex()))


def serve(handler):
    async def run(reader, writer):
        try:
            await handler(Connection(reader, writer))
        except Failure as failure:
            record("error", text=str(failure))
        except (struct.error, UnicodeDecodeError, IndexError) as failure:
            record("error", text="malformed packet: %s" % failure)
        except (asyncio.IncompleteReadError, ConnectionError):
            pass
        finally:
            writer.close()
    return run


async def login_server(conn):
    record("login-connect")
    record.last_seq = None  # a new login: the client's counter goes on from anywhere
    if args.mode == "silent":
        await conn.reader.read()
        return
    await conn.send(1, b"\0\0\0\1")
    channel, data = await conn.frame()
    uin = tlv(1, str(args.uin).encode())
    if channel != 1 or not data.startswith(b"\0\0\0\1" + uin):
        raise Failure("expected identification, got channel %d: %s" % (channel, data.hex()))
    password = tlv(2, roast(args.password))
    if not data[4 + len(uin):].startswith(password):
        record("bad-password")
        await conn.send(4, uin + tlv(4, b"https://example.invalid/password"))
        return
    if data[4:] != IDENT:
        raise Failure("identification differs: " + data.hex())
    record("identified", uin=args.uin)
    if args.mode in ("bad-password", "too-often"):
        await conn.send(4, uin + tlv(4 if args.mode == "bad-password" else 8, b"\0\x18"))
        return
    port = 0 if args.mode == "malformed-address" else args.service_port
    if args.mode == "hold-redirect":
        await asyncio.sleep(1)
        record("redirect-sent")
    await conn.send(4, uin + tlv(5, b"127.0.0.1:%d" % port) + tlv(6, COOKIE))
    await conn.expect(4, b"", "the close frame")
    record("redirected")


async def service_server(conn):
    record("service-connect")
    await conn.send(1, b"\0\0\0\1")
    await conn.expect(1, b"\0\0\0\1" + tlv(6, COOKIE), "the cookie")
    if args.mode == "close-before-signon":
        return
    if args.mode in ("oversized", "unmarked"):
        oversized = args.mode == "oversized"
        await conn.send(2, b"x" * 16, marker=0x2A if oversized else 0x2B, length=MAX_DATA + 1 if oversized else 16)
        await conn.reader.read()
        return
    await conn.send(2, snac(1, 3, b"".join(struct.pack(">H", f[0]) for f in FAMILIES)))
    await conn.expect(2, snac(1, 0x17, b"".join(struct.pack(">HH", *f[:2]) for f in FAMILIES)), "families")
    await conn.send(2, snac(1, 0x13, b""))
    await conn.expect(2, snac(1, 6), "the rate request")
    await conn.send(2, snac(1, 7, b"\0\0"))
    for packet in AFTER_RATES:
        await conn.expect(2, packet, "SNAC " + packet[:4].hex())
    await conn.send(2, snac(9, 3, tlv(1, b"\0\xA0") + tlv(2, b"\0\xA0")))
    await conn.expect(2, snac(2, 4, tlv(5, CAPABILITIES)), "the capabilities")
    await conn.expect(2, snac(9, 7), "the empty invisible list")
    await conn.expect(2, snac(1, 0x11, b"\0\0\0\0"), "the idle time")
    status(*await conn.frame())
    await conn.expect(2, snac(1, 2, b"".join(struct.pack(">HHHH", *f, 0x047B) for f in FAMILIES)), "ready")
    record("signed-on")
    if args.mode == "close-after-signon":
        await conn.send(4)
    while True:
        channel, data = await conn.frame()
        if channel == 1 and data == b"":
            record("goodbye")
            return
        if channel == 2 and data[:4] == bytes.fromhex("00040006"):
            message(data)
        elif channel == 2 and data[:4] == bytes.fromhex("00150002"):
            await sms(conn, data)
        else:
            raise Failure("unexpected frame on channel %d: %s" % (channel, data.hex()))


def status(channel, data):
    kind = {"direct": b"\4", "socks": b"\2", "https": b""}[args.reach]
    size = 36 + len(kind)
    head = snac(1, 0x1E, word_tlv(6, 4, 0) + word_tlv(8, 2, 0)) + struct.pack(">HH", 0x0C, size)
    block = data[len(head):]
    if channel != 2 or not data.startswith(head) or len(block) != size:
        raise Failure("expected the status, got " + data.hex())
    ip, port = struct.unpack(">II", block[:8])
    version, _, a, b = struct.unpack(">HIII", block[8 + len(kind):22 + len(kind)])
    if block[8:8 + len(kind)] != kind or version != 8 or (a, b) != (0x50, 3) or block[22 + len(kind):] != bytes(14):
        raise Failure("direct-connection block: " + block.hex())
    record("status", ip=socket.inet_ntoa(struct.pack(">I", ip)), port=port)


def message(data):
    body = data[10 + 8:]
    if body[:2] != b"\0\1":
        raise Failure("message on channel " + body[:2].hex())
    n = body[2]
    uin, rest = body[3:3 + n].decode(), body[3 + n:]
    kind, length = struct.unpack(">HH", rest[:4])
    inner, tail = rest[4:4 + length], rest[4 + length:]
    if kind != 2 or inner[:5] != bytes.fromhex("0501000101") or tail != b"\0\6\0\0":
        raise Failure("message layout: " + data.hex())
    kind, length = struct.unpack(">HH", inner[5:9])
    if kind != 0x0101 or inner[9:13] != b"\0\0\0\0" or len(inner) != 9 + length:
        raise Failure("message text block: " + inner.hex())
    record("message", to=uin, text=inner[13:].decode("latin-1"))


async def sms(conn, data):
    body = data[10:]
    kind, length = struct.unpack(">HH", body[:4])
    block = body[4:]
    rest, uin, command, req_seq = struct.unpack("<HIHH", block[:10])
    if kind != 1 or length != len(block) or rest != len(block) - 2 or uin != args.uin or command != 2000:
        raise Failure("service request: " + body.hex())
    head = block[10:32]
    if head != bytes.fromhex("821400010016") + bytes(16):
        raise Failure("SMS request head: " + head.hex())
    kind, length = struct.unpack(">HH", block[32:36])
    xml = block[36:]
    if kind != 0 or length != len(xml) or not xml.endswith(b"\0"):
        raise Failure("SMS XML TLV: " + block[32:].hex())
    text = xml[:-1].decode("utf-8")
    fields = dict(re.findall(r"<(\w+)>([^<]*)</\1>", text))
    record("sms", destination=fields.get("destination"), text=fields.get("text"), uin=fields.get("senders_UIN"),
           time=fields.get("time"), req_id=struct.unpack(">I", data[6:10])[0])
    if args.sms == "silent":
        return
    if args.sms == "reply":
        xml = ("<sms_message><source>ssms</source><sender>%s</sender><time>Sun, 06 Dec 2026 10:00:00 GMT</time>"
               "<text>ok \u00e9</text></sms_message>" % fields.get("destination")).encode()
        plugin = struct.pack("<I", 6) + b"ICQSMS" + bytes(19) + struct.pack("<I", len(xml)) + xml
        body = bytes(8) + struct.pack(">H", 2) + bytes([4]) + b"1002" + tlv(5, b"\0\0" + bytes(24) + tlv(0x2711, b"\x1a" + plugin))
        await conn.send(2, snac(4, 7, body))
        return
    if args.sms == "refused":
        answer = struct.pack("<HH", 0x07DA, req_seq) + struct.pack("<H", 1)
    else:
        reply = ("<sms_response><source>airbornegsm</source><deliverable>%s</deliverable><network>Test</network>"
                 "<message_id>%d</message_id></sms_response>" % ("Yes" if args.sms == "deliverable" else "No", req_seq))
        answer = (struct.pack("<HHH", 0x07DA, req_seq, 0x0096) + b"\x0a" + bytes(12)
                  + struct.pack("<H", len(reply)) + reply.encode())
    meta = struct.pack("<I", args.uin) + answer
    await conn.send(2, snac(0x15, 3, tlv(1, struct.pack("<H", len(meta)) + meta)))


async def main():
    login = await asyncio.start_server(serve(login_server), "127.0.0.1", args.port)
    service = await asyncio.start_server(serve(service_server), "127.0.0.1", args.service_port)
    async with login, service:
        await asyncio.gather(login.serve_forever(), service.serve_forever())


asyncio.run(main())
