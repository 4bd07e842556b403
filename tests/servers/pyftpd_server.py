#!/usr/bin/python3
"""pyftpdlib on loopback for the integration tests, with XCRC and HOST added (RFC 7151)."""
import argparse
import logging
import os
import time
import zlib

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler, proto_cmds
from pyftpdlib.servers import FTPServer

parser = argparse.ArgumentParser()
for name in ("--port", "--root", "--user", "--password"):
    parser.add_argument(name, required=True)
parser.add_argument("--host", default="127.0.0.1")
parser.add_argument("--no-extended", action="store_true", help="refuse EPSV and EPRT (PASV and PORT only)")
parser.add_argument("--no-xcrc", action="store_true", help="offer no checksums, as many servers do")
parser.add_argument("--local-times", action="store_true", help="show times in the TZ zone, not UTC")
parser.add_argument("--read-limit", type=int, default=0, help="upload bytes per second (0: none)")
parser.add_argument("--clock-offset", type=int, default=0,
                    help="seconds the server's clock runs ahead: stored files are stamped by it")
args = parser.parse_args()

commands = dict(proto_cmds)
commands["HOST"] = dict(perm=None, auth=False, arg=True, help="Syntax: HOST <SP> host-name (virtual host).")
if not args.no_xcrc:
    commands["XCRC"] = dict(perm="r", auth=True, arg=True, help="Syntax: XCRC <SP> file-name (CRC-32 of a file).")
for name in ("EPSV", "EPRT") if args.no_extended else ():
    del commands[name]


class Handler(FTPHandler):
    proto_cmds = commands
    banner = "pyftpdlib test server ready."
    passive_ports = None
    # Failed logins are answered at once; the default delay would slow the tests for nothing.
    auth_failed_timeout = 0
    use_gmt_times = not args.local_times

    def on_connect(self):
        self._extra_feats = list(self._extra_feats) + [name for name in ("HOST", "XCRC") if name in commands]

    def ftp_XCRC(self, path):
        if not self.fs.isfile(self.fs.realpath(path)):
            self.respond("550 %s is not retrievable." % self.fs.fs2ftp(path))
            return
        crc = 0
        with open(path, "rb") as f:
            for block in iter(lambda: f.read(1 << 16), b""):
                crc = zlib.crc32(block, crc)
        self.respond("250 %08X" % crc)

    def ftp_HOST(self, line):
        self.respond("503 HOST must precede USER." if self.authenticated else "220 Host %s accepted." % line)

    def on_file_received(self, path):
        if args.clock_offset:
            now = time.time() + args.clock_offset
            os.utime(path, (now, now))


if args.read_limit > 0:
    Handler.dtp_handler = type("Throttled", (ThrottledDTPHandler,), {"read_limit": args.read_limit})
logging.basicConfig(level=logging.INFO)
authorizer = DummyAuthorizer()
authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")
Handler.authorizer = authorizer
FTPServer((args.host, int(args.port)), Handler).serve_forever()
