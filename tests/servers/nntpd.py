#!/usr/bin/python3
"""A recording NNTP server on loopback for the integration tests.

Greets with 200, takes AUTHINFO USER/PASS against --user/--password (481 when wrong), wants a login
before POST (480), answers MODE READER with 200 and QUIT with 205, and anything else with 500.
Each posted article is stored as N.art in --dir: the bytes as received with CR LF line ends,
dot-stuffing undone, the file appearing only when complete. An article whose Newsgroups header
names the group "refuse.me" is read whole and then refused with 441, as a server does that checks
an article only after it has it.
"""
import argparse
import itertools
import os
import socketserver

parser = argparse.ArgumentParser()
parser.add_argument("--port", type=int, required=True)
for name in ("--dir", "--user", "--password"):
    parser.add_argument(name, required=True)
args = parser.parse_args()

counter = itertools.count(1)  # next() is atomic under the interpreter lock
MAX_LINE = 1024 * 1024


def store(data):
    path = os.path.join(args.dir, "%d.art" % next(counter))
    with open(path + ".tmp", "wb") as f:
        f.write(data)
    os.rename(path + ".tmp", path)


def groups_of(article):
    head = article.split(b"\r\n\r\n", 1)[0]
    for line in head.split(b"\r\n"):
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"newsgroups":
            return [g.strip().decode("latin-1") for g in value.split(b",")]
    return []


class Session(socketserver.StreamRequestHandler):
    def reply(self, text):
        self.wfile.write(text.encode() + b"\r\n")
        self.wfile.flush()

    def line(self):
        raw = self.rfile.readline(MAX_LINE)
        if not raw:
            raise EOFError
        return raw.rstrip(b"\r\n")

    def read_article(self):
        return b"".join((l[1:] if l.startswith(b".") else l) + b"\r\n" for l in iter(self.line, b"."))

    def handle(self):
        user, logged_in = None, False
        self.reply("200 quillate recording server, posting allowed")
        try:
            while True:
                words = self.line().decode("latin-1").split(" ")
                verb = words[0].upper()
                if verb == "QUIT":
                    self.reply("205 bye")
                    return
                if verb == "MODE" and len(words) == 2 and words[1].upper() == "READER":
                    self.reply("200 posting allowed")
                elif verb == "AUTHINFO" and len(words) == 3 and words[1].upper() == "USER":
                    user, logged_in = words[2], False
                    self.reply("381 password required")
                elif verb == "AUTHINFO" and len(words) == 3 and words[1].upper() == "PASS":
                    accepted = user == args.user and words[2] == args.password
                    logged_in = logged_in or accepted  # a wrong password does not end a login
                    self.reply("482 user name first" if user is None else
                               "281 authentication accepted" if accepted else "481 authentication failed")
                elif verb == "POST":
                    if not logged_in:
                        self.reply("480 authentication required")
                        continue
                    self.reply("340 send article")
                    article = self.read_article()
                    if "refuse.me" in groups_of(article):
                        self.reply("441 posting to refuse.me is not allowed")
                    else:
                        store(article)
                        self.reply("240 article received")
                else:
                    self.reply("500 unknown command")
        except (EOFError, ConnectionError):
            return


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


with Server(("127.0.0.1", args.port), Session) as server:
    print("ready", flush=True)
    server.serve_forever()
