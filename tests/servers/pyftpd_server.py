#!/usr/bin/python3
"""pyftpdlib on loopback for the integration tests, with XCRC and HOST added (RFC 7151)."""
import argparse
import logging
import os
import socket
import struct
import time
import zlib

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler, TLS_FTPHandler
from pyftpdlib.servers import FTPServer

# --no-extended refuses EPSV and EPRT (PASV and PORT only), --no-xcrc offers no checksums as many servers do,
# --local-times shows times in the TZ zone instead of UTC, --read-limit throttles uploads (bytes per second)
# and the server's clock runs --clock-offset seconds ahead: the files it stores are stamped by it.
# --tls-cert and --tls-key serve explicit FTP over TLS only (data in clear when asked); --tls-protocol
# "TLSv1.2" or "TLSv1.3" forces that version. --cut-upload-after resets the first upload's data
# connection after that many bytes, as a network fault would (where no proxy can see the commands).
parser = argparse.ArgumentParser()
for name in ("--port", "--root", "--user", "--password"):
    parser.add_argument(name, required=True)
parser.add_argument("--host", default="127.0.0.1")
for name in ("--read-limit", "--clock-offset", "--cut-upload-after"):
    parser.add_argument(name, type=int, default=0)
for name in ("--tls-cert", "--tls-key", "--tls-protocol"):
    parser.add_argument(name, default="")
for name in ("--no-extended", "--no-xcrc", "--local-times"):
    parser.add_argument(name, action="store_true")
args = parser.parse_args()

base = TLS_FTPHandler if args.tls_cert else FTPHandler
commands = dict(base.proto_cmds)
commands["HOST"] = dict(perm=None, auth=False, arg=True, help="Syntax: HOST <SP> host-name (virtual host).")
if not args.no_xcrc:
    commands["XCRC"] = dict(perm="r", auth=True, arg=True, help="Syntax: XCRC <SP> file-name (CRC-32 of a file).")
for name in ("EPSV", "EPRT") if args.no_extended else ():
    del commands[name]


class Handler(base):
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


if args.tls_cert:
    from OpenSSL import SSL

    context = SSL.Context(SSL.TLS_METHOD)
    context.use_certificate_chain_file(args.tls_cert)
    context.use_privatekey_file(args.tls_key)
    if args.tls_protocol:
        version = {"TLSv1.2": SSL.TLS1_2_VERSION, "TLSv1.3": SSL.TLS1_3_VERSION}[args.tls_protocol]
        context.set_min_proto_version(version)
        context.set_max_proto_version(version)
    Handler.ssl_context = context
    Handler.tls_control_required = True
    # Data in clear (PROT C) stays possible; ProFTPD is the server that insists on protected data.
    Handler.tls_data_required = False
if args.read_limit > 0:
    Handler.dtp_handler = type("Throttled", (ThrottledDTPHandler,), {"read_limit": args.read_limit})
if args.cut_upload_after > 0:
    cut_done = []

    class Cutting(Handler.dtp_handler):
        # The event, not handle_read: the handler binds its read event to its own handle_read.
        def handle_read_event(self):
            super().handle_read_event()
            if not cut_done and self.receive and self.tot_bytes_received > args.cut_upload_after:
                cut_done.append(True)
                self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                self.close()

    Handler.dtp_handler = Cutting
logging.basicConfig(level=logging.INFO)
authorizer = DummyAuthorizer()
authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")
Handler.authorizer = authorizer
FTPServer((args.host, int(args.port)), Handler).serve_forever()
