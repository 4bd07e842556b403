#!/usr/bin/python3
"""A TCP proxy in front of an FTP server that breaks the first upload.

Usage: fault_proxy.py LISTEN_PORT SERVER_PORT CUT_AFTER_BYTES [lose-reply | slow-reply | drop-at-stor]

Control connections are passed through; passive replies (227 and 229) are rewritten to point at a
data listener of the proxy, which relays the data connection to the server. The first data
connection that carries more than CUT_AFTER_BYTES from the client to the server is closed at that
point on both sides, as a network fault would. Later connections are relayed whole.
With "lose-reply" the data is never cut: instead the control connection breaks where the server's
reply to the first upload (STOR or APPE) would reach the client, so the file arrived whole but the
client never hears so.
With "slow-reply" nothing breaks: the server's reply to every upload is held back for 1.2 seconds,
so each upload as the client sees it spans a change of second.
With "drop-at-stor" the data is never cut: the control connection breaks where the first STOR would
reach the server, so the file is never created.
"""
import re
import socket
import sys
import threading
import time

lock = threading.Lock()
state = {"cut": False}


def close_both(a, b, close=True):
    """Ends both directions of both sockets, so each relay thread sees its end."""
    for s in (a, b):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        if close:
            s.close()


def pump(src, dst, limit=None):
    sent = 0
    try:
        while True:
            data = src.recv(65536)
            if not data:
                break
            if limit is not None:
                with lock:
                    armed = not state["cut"]
                if armed and sent + len(data) > limit:
                    dst.sendall(data[: max(limit - sent, 0)])
                    with lock:
                        state["cut"] = True
                    break
            dst.sendall(data)
            sent += len(data)
    except OSError:
        pass
    close_both(src, dst)


def relay_data(server_port, cut_after):
    listener = socket.socket()
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
        threading.Thread(target=pump, args=(client, server, cut_after), daemon=True).start()
        threading.Thread(target=pump, args=(server, client), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()
    return listener.getsockname()[1]


def arm():
    """True for the first fault of the run only."""
    with lock:
        armed = not state["cut"]
        state["cut"] = True
    return armed


def watch_commands(client, server, session, mode):
    """Relays the client's commands, noting when an upload command has been sent."""
    buf = b""
    try:
        while True:
            data = client.recv(65536)
            if not data:
                break
            buf += data
            while b"\n" in buf:
                line, _, buf = buf.partition(b"\n")
                if line[:4].upper() == b"STOR" and mode == "drop-at-stor" and arm():
                    close_both(client, server)
                    return
                if line[:4].upper() in (b"STOR", b"APPE"):
                    session["uploading"] = True
            server.sendall(data)
    except OSError:
        pass
    close_both(client, server, close=False)


def control(client, server_port, cut_after, mode):
    server = socket.create_connection(("127.0.0.1", server_port))
    session = {"uploading": False}
    threading.Thread(target=watch_commands, args=(client, server, session, mode), daemon=True).start()
    buf = b""
    try:
        while True:
            data = server.recv(65536)
            if not data:
                break
            buf += data
            while b"\n" in buf:
                line, _, buf = buf.partition(b"\n")
                text = line.decode("latin-1")
                if session["uploading"] and re.match(r"2\d\d ", text):
                    session["uploading"] = False
                    if mode == "slow-reply":
                        time.sleep(1.2)
                    if mode == "lose-reply" and arm():
                        raise OSError("control connection cut before the upload's reply")
                m = re.match(r"229 .*\(\|\|\|(\d+)\|\)", text)
                if m:
                    data_cut = None if mode else cut_after
                    text = "229 Entering Extended Passive Mode (|||%d|)\r" % relay_data(int(m.group(1)), data_cut)
                m = re.match(r"227 .*\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)", text)
                if m:
                    data_cut = None if mode else cut_after
                    port = relay_data(int(m.group(5)) * 256 + int(m.group(6)), data_cut)
                    text = "227 Entering Passive Mode (127,0,0,1,%d,%d)\r" % (port // 256, port % 256)
                client.sendall((text + "\n").encode("latin-1"))
    except OSError:
        pass
    close_both(client, server)


def main():
    listen_port, server_port, cut_after = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
    mode = sys.argv[4] if len(sys.argv) > 4 else ""
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", listen_port))
    listener.listen(16)
    while True:
        client, _ = listener.accept()
        threading.Thread(target=control, args=(client, server_port, cut_after, mode), daemon=True).start()


if __name__ == "__main__":
    main()
