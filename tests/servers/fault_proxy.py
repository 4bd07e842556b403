#!/usr/bin/python3
"""A TCP proxy in front of an FTP server that breaks the first upload.

Usage: fault_proxy.py LISTEN_PORT SERVER_PORT CUT_AFTER_BYTES [lose-reply | slow-reply | drop-at-stor | no-path-lists | busy
                                                               | lost-active]

Control connections are passed through; extended passive replies (229: the client asks for EPSV
first) are rewritten to point at a data listener of the proxy, which relays the data connection to
the server. The first data
connection that carries more than CUT_AFTER_BYTES from the client to the server is closed at that
point on both sides, as a network fault would. Later connections are relayed whole.
With "lose-reply" the data is never cut: instead the control connection breaks where the server's
reply to the first upload (STOR or APPE) would reach the client, so the file arrived whole but the
client never hears so.
With "slow-reply" nothing breaks: the server's reply to every upload is held back for 1.2 seconds,
so each upload as the client sees it spans a change of second.
With "drop-at-stor" the data is never cut: the control connection breaks where the first STOR would
reach the server, so the file is never created.
With "no-path-lists" nothing breaks: a listing (MLSD, LIST) that names a folder is answered "501" by
the proxy itself, as a server does that lists only the folder it stands in.
With "busy" nothing breaks: every other one of the first twelve EPSVs of the run is answered "425" by
the proxy itself, as a server out of passive ports for a moment does.
With "lost-active" nothing breaks: the first two EPRTs that follow a transfer in their session are
never answered, but the proxy connects to the port they name, as a server does that connects before
it answers and then loses track of its connection.
"""
import re
import socket
import sys
import threading
import time

LISTEN_PORT, SERVER_PORT, CUT_AFTER = map(int, sys.argv[1:4])
MODE = sys.argv[4] if len(sys.argv) > 4 else ""
fault = threading.Lock()  # taken by the one fault of the run
epsv_count = iter(range(1 << 62))  # next() is atomic under the interpreter lock
lost_count = iter(range(1 << 62))


def shut(*sockets, close=True):
    """Ends both directions of the sockets, so each relay thread sees its end."""
    for s in sockets:
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        if close:
            s.close()


def pump(src, dst, limit=None):
    """Relays src to dst; with a limit, the first stream of the run to pass it is cut there."""
    sent = 0
    try:
        while data := src.recv(65536):
            if limit is not None and sent + len(data) > limit and fault.acquire(blocking=False):
                dst.sendall(data[: limit - sent])
                break
            dst.sendall(data)
            sent += len(data)
    except OSError:
        pass
    shut(src, dst)


def relay_data(server_port):
    """A listener for one data connection, relayed to the server's; returns its port."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    # A small fixed receive buffer (the accepted socket inherits it): without it Linux grows the buffer to
    # tens of megabytes on loopback, the client hands over a whole test file before the cut, and the cut
    # reaches it as a clean end instead of the broken write a real fault gives.
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 64 * 1024)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    listener.settimeout(15)

    def accept():
        try:
            client, _ = listener.accept()
        except OSError:
            return
        finally:
            listener.close()
        server = socket.create_connection(("127.0.0.1", server_port))
        threading.Thread(target=pump, args=(client, server, None if MODE else CUT_AFTER), daemon=True).start()
        pump(server, client)

    threading.Thread(target=accept, daemon=True).start()
    return listener.getsockname()[1]


def commands(client, server, session):
    """Relays the client's commands, noting when an upload command has been sent."""
    try:
        for line in client.makefile("rb"):
            verb = line[:4].upper()
            if MODE == "no-path-lists" and verb in (b"MLSD", b"LIST") and line[4:].strip():
                client.sendall(b"501 Listings of another folder are not supported here.\r\n")
                continue
            if MODE == "busy" and verb == b"EPSV" and next(epsv_count) in (1, 3, 5, 7, 9, 11):
                client.sendall(b"425 Unable to build data connection: no passive port free\r\n")
                continue
            if MODE == "lost-active" and verb == b"EPRT" and session["transferred"] and next(lost_count) < 2:
                _, _, address, port, _ = line.decode("latin-1").split(" ", 1)[1].split("|")
                session["held"] = socket.create_connection((address, int(port)))
                continue
            session["transferred"] |= verb in (b"RETR", b"STOR", b"APPE")
            if verb == b"STOR" and MODE == "drop-at-stor" and fault.acquire(blocking=False):
                break
            session["uploading"] |= verb in (b"STOR", b"APPE")
            server.sendall(line)
    except OSError:
        pass
    shut(client, server, close=False)


def control(client):
    """Relays the server's replies, rewriting EPSV ones and breaking or holding upload replies."""
    server = socket.create_connection(("127.0.0.1", SERVER_PORT))
    session = {"uploading": False, "transferred": False}
    threading.Thread(target=commands, args=(client, server, session), daemon=True).start()
    try:
        for line in server.makefile("rb"):
            text = line.decode("latin-1")
            if session["uploading"] and re.match(r"2\d\d ", text):
                session["uploading"] = False
                time.sleep(1.2 if MODE == "slow-reply" else 0)
                if MODE == "lose-reply" and fault.acquire(blocking=False):
                    break
            if m := re.match(r"229 .*\(\|\|\|(\d+)\|\)", text):
                text = "229 Entering Extended Passive Mode (|||%d|)\r\n" % relay_data(int(m[1]))
            client.sendall(text.encode("latin-1"))
    except OSError:
        pass
    shut(client, server)


listener = socket.create_server(("127.0.0.1", LISTEN_PORT))
while True:
    threading.Thread(target=control, args=(listener.accept()[0],), daemon=True).start()
