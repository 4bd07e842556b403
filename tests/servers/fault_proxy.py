#!/usr/bin/python3
"""A TCP proxy in front of an FTP server that breaks the first upload half way.

Usage: fault_proxy.py LISTEN_PORT SERVER_PORT CUT_AFTER_BYTES

Control connections are passed through; passive replies (227 and 229) are rewritten to point at a
data listener of the proxy, which relays the data connection to the server. The first data
connection that carries more than CUT_AFTER_BYTES from the client to the server is closed at that
point on both sides, as a network fault would. Later connections are relayed whole.
"""
import re
import socket
import sys
import threading

lock = threading.Lock()
state = {"cut": False}


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
    for s in (src, dst):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        s.close()


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


def control(client, server_port, cut_after):
    server = socket.create_connection(("127.0.0.1", server_port))
    threading.Thread(target=pump, args=(client, server), daemon=True).start()
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
                m = re.match(r"229 .*\(\|\|\|(\d+)\|\)", text)
                if m:
                    text = "229 Entering Extended Passive Mode (|||%d|)\r" % relay_data(int(m.group(1)), cut_after)
                m = re.match(r"227 .*\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)", text)
                if m:
                    port = relay_data(int(m.group(5)) * 256 + int(m.group(6)), cut_after)
                    text = "227 Entering Passive Mode (127,0,0,1,%d,%d)\r" % (port // 256, port % 256)
                client.sendall((text + "\n").encode("latin-1"))
    except OSError:
        pass
    client.close()
    server.close()


def main():
    listen_port, server_port, cut_after = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", listen_port))
    listener.listen(16)
    while True:
        client, _ = listener.accept()
        threading.Thread(target=control, args=(client, server_port, cut_after), daemon=True).start()


if __name__ == "__main__":
    main()
