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

commands = dict(proto_cmds)
commands["XCRC"] = dict(perm="r", auth=True, arg=True, help="Syntax: XCRC <SP> file-name (CRC-32 of a file).")
commands["HOST"] = dict(perm=None, auth=False, arg=True, help="Syntax: HOST <SP> host-name (virtual host).")


class Handler(FTPHandler):
    proto_cmds = commands

    def on_connect(self):
        self._extra_feats = list(self._extra_feats) + ["HOST", "XCRC"]

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
        if self.authenticated:
            self.respond("503 HOST must precede USER.")
        else:
            self.respond("220 Host %s accepted." % line)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--no-extended", action="store_true", help="refuse EPSV and EPRT (PASV and PORT only)")
    parser.add_argument("--no-xcrc", action="store_true", help="offer no checksums, as many servers do")
    parser.add_argument("--local-times", action="store_true", help="show times in the TZ zone, not UTC")
    parser.add_argument("--read-limit", type=int, default=0, help="upload bytes per second (0: none)")
    parser.add_argument("--clock-offset", type=int, default=0,
                        help="seconds the server's clock runs ahead: stored files are stamped by it")
    args = parser.parse_args()
    logging.basicConfig(level=logging.INFO)
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")
    Handler.authorizer = authorizer
    Handler.passive_ports = None
    Handler.banner = "pyftpdlib test server ready."
    # Failed logins are answered at once; the default delay would slow the tests for nothing.
    Handler.auth_failed_timeout = 0
    if args.no_xcrc:
        Handler.proto_cmds = {k: v for k, v in commands.items() if k != "XCRC"}
        Handler.on_connect = lambda self: setattr(self, "_extra_feats", list(self._extra_feats) + ["HOST"])
    if args.no_extended:
        Handler.proto_cmds = {k: v for k, v in Handler.proto_cmds.items() if k not in ("EPSV", "EPRT")}
    if args.local_times:
        Handler.use_gmt_times = False
    if args.clock_offset:
        def stamp(self, path, offset=args.clock_offset):
            now = time.time() + offset
            os.utime(path, (now, now))
        Handler.on_file_received = stamp
    if args.read_limit > 0:
        dtp = type("Throttled", (ThrottledDTPHandler,), {"read_limit": args.read_limit})
        Handler.dtp_handler = dtp
    server = FTPServer((args.host, args.port), Handler)
    server.serve_forever()


if __name__ == "__main__":
    main()
