#!/usr/bin/python3
"""A hostile FTP server for the tests: pyftpdlib on loopback serving its root folder as usual (RETR of
real files works), with listings and replies a client must survive. No XCRC, no HOST.

Modes (--mode, default plain):
  plain       pyftpdlib as it is: its listings show real names raw, so a file whose name holds CR,
              ESC or BEL (which Linux allows) is listed with those bytes.
  names       every folder listing (LIST, MLSD, NLST) also shows entries that exist nowhere, with
              names a server must not give: "cr<CR>hidden.txt", "nul<NUL>.txt", "../up.txt",
              "a/b.txt", and "." and ".." as files; LIST adds "." and ".." as folders, as "ls -a"
              shows them. A name cannot hold LF here: in a listing the line ends there.
  huge        every folder listing is --entries generated files ("f0000001-xxxx", padded to
              --name-length bytes), streamed as they are made; nothing real is listed.
  long-line   every folder listing starts with a file whose line is --line-length bytes long, then
              shows the real entries.
  short       RETR sends the first half of the file and then reports success, while SIZE and the
              listings give the whole size.
  endless     every path is a folder that lists one folder (its name --name-length bytes of "D") and a
              file "f.txt", so the tree never ends, as a looping link shows it; with --unique the MLSD
              facts give every folder the same identity, as the link's target has.
"""
import argparse
import logging
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

parser = argparse.ArgumentParser()
for name in ("--port", "--root", "--user", "--password"):
    parser.add_argument(name, required=True)
parser.add_argument("--host", default="127.0.0.1")
parser.add_argument("--mode", default="plain", choices=("plain", "names", "huge", "long-line", "endless", "short"))
parser.add_argument("--entries", type=int, default=1000)
parser.add_argument("--name-length", type=int, default=40)
parser.add_argument("--line-length", type=int, default=100000)
parser.add_argument("--unique", action="store_true")
args = parser.parse_args()

CRAFTED = ["cr\rhidden.txt", "nul\0.txt", "../up.txt", "a/b.txt", ".", ".."]
STAMP = time.strftime("%b %d %H:%M", time.gmtime())


def unix_line(name, folder=False):
    kind = "drwxr-xr-x" if folder else "-rw-r--r--"
    return ("%s   1 owner    group    %8d %s %s\r\n" % (kind, 5, STAMP, name)).encode("utf8", "surrogateescape")


def mlsd_line(name):
    return ("type=file;size=5;modify=20200101000000;perm=r; %s\r\n" % name).encode("utf8", "surrogateescape")


# A listing's line for a file, by the kind of listing.
LINE = {"list": unix_line, "mlsd": mlsd_line, "nlst": lambda n: (n + "\r\n").encode()}


def generated(kind):
    for i in range(args.entries):
        yield LINE[kind](("f%07d-" % i).ljust(args.name_length, "x"))


def crafted(kind):
    if args.mode == "names":
        if kind == "list":
            yield unix_line(".", True)
            yield unix_line("..", True)
        for name in CRAFTED:
            yield LINE[kind](name)
    elif args.mode == "long-line":
        yield LINE[kind]("L" * max(args.line_length - len(LINE[kind]("")), 1))


class HostileFS(AbstractedFS):
    # Set by the handler for a listing of a whole folder, so that MLST and LIST of one file stay plain.
    whole_folder = False

    def listing(self, real, kind):
        whole, self.whole_folder = self.whole_folder, False
        if whole and args.mode == "huge":
            yield from generated(kind)
            return
        if whole:
            yield from crafted(kind)
        yield from real

    def format_list(self, basedir, listing, ignore_err=True):
        return self.listing(super().format_list(basedir, listing, ignore_err), "list")

    def format_mlsx(self, basedir, listing, perms, facts, ignore_err=True):
        return self.listing(super().format_mlsx(basedir, listing, perms, facts, ignore_err), "mlsd")


def endless_listing(kind):
    folder = "D" * args.name_length
    if kind == "mlsd":
        unique = "unique=808U1;" if args.unique else ""
        return ("type=dir;%smodify=20200101000000;perm=el; %s\r\n" % (unique, folder)).encode() + mlsd_line("f.txt")
    return unix_line(folder, True) + unix_line("f.txt")


class Handler(FTPHandler):
    abstracted_fs = HostileFS
    banner = "hostile test server ready."
    passive_ports = None
    auth_failed_timeout = 0

    def collect_incoming_data(self, data):
        # The endless tree's paths outgrow pyftpdlib's 2,048 bytes a command: the client's own bound must
        # stop it, not the server's.
        if args.mode == "endless":
            self._in_buffer.append(data)
            return
        super().collect_incoming_data(data)

    def ftp_RETR(self, file):
        if args.mode != "short":
            return super().ftp_RETR(file)
        with open(file, "rb") as f:
            data = f.read()
        self.push_dtp_data(data[: len(data) // 2], cmd="RETR")
        return file

    def pre_process_command(self, line, cmd, arg):
        # Every folder of the endless tree exists: its listings and CWD answer without a file system.
        if args.mode == "endless" and cmd in ("MLSD", "LIST", "CWD"):
            if cmd == "CWD":
                self.respond("250 \"%s\" is the current directory." % arg)
            else:
                self.push_dtp_data(endless_listing(cmd.lower()), cmd=cmd)
            return
        super().pre_process_command(line, cmd, arg)

    def process_command(self, cmd, *args, **kwargs):
        # Called with the path resolved; a listing of one file stays plain.
        if cmd in ("LIST", "MLSD"):
            self.fs.whole_folder = self.fs.isdir(args[0])
        super().process_command(cmd, *args, **kwargs)

    def ftp_NLST(self, path):
        if not self.fs.isdir(path) or args.mode not in ("names", "huge", "long-line"):
            return super().ftp_NLST(path)
        real = [] if args.mode == "huge" else sorted(self.fs.listdir(path))
        lines = list(generated("nlst") if args.mode == "huge" else crafted("nlst"))
        self.push_dtp_data(b"".join(lines) + "".join(n + "\r\n" for n in real).encode("utf8", "surrogateescape"),
                           cmd="NLST")
        return path


logging.basicConfig(level=logging.INFO)
authorizer = DummyAuthorizer()
authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")
Handler.authorizer = authorizer
FTPServer((args.host, int(args.port)), Handler).serve_forever()
