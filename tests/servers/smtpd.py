#!/usr/bin/python3
"""aiosmtpd on loopback for the integration tests: three listeners sharing one user and one folder.

--port      plain, STARTTLS offered, AUTH PLAIN and LOGIN
--tls-port  TLS from the first byte (SMTPS)
--bare-port plain, no STARTTLS, AUTH LOGIN only

A recipient whose mailbox starts with "reject" is refused with 550 (a server refusing one address).
Each message is stored as N.eml (the bytes as received, dot-stuffing undone) and N.env (the envelope:
the sender, then one recipient a line) in --dir; both appear only when complete.
"""
import argparse
import itertools
import os
import ssl
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

parser = argparse.ArgumentParser()
for name in ("--port", "--tls-port", "--bare-port"):
    parser.add_argument(name, type=int, required=True)
for name in ("--dir", "--cert", "--key", "--user", "--password"):
    parser.add_argument(name, required=True)
args = parser.parse_args()

counter = itertools.count(1)


def store(name, data):
    path = os.path.join(args.dir, name)
    with open(path + ".tmp", "wb") as f:
        f.write(data)
    os.rename(path + ".tmp", path)


class Handler:
    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower().startswith("reject"):
            return "550 5.1.1 Mailbox unavailable"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        n = next(counter)
        store("%d.eml" % n, envelope.original_content)
        store("%d.env" % n, "\n".join([envelope.mail_from] + envelope.rcpt_tos).encode())
        return "250 Message accepted"


def authenticator(server, session, envelope, mechanism, auth_data):
    ok = isinstance(auth_data, LoginPassword) and auth_data.login == args.user.encode() \
        and auth_data.password == args.password.encode()
    return AuthResult(success=ok, auth_data=auth_data if ok else None, handled=False)


context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
context.load_cert_chain(args.cert, args.key)
common = dict(hostname="127.0.0.1", authenticator=authenticator, auth_require_tls=False)
controllers = [
    Controller(Handler(), port=args.port, tls_context=context, require_starttls=False, **common),
    Controller(Handler(), port=args.tls_port, ssl_context=context, **common),
    Controller(Handler(), port=args.bare_port, auth_exclude_mechanism=["PLAIN"], **common),
]
for controller in controllers:
    controller.start()
print("ready", flush=True)
threading.Event().wait()
