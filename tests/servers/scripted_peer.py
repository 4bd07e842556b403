#!/usr/bin/python3
"""A TCP peer that plays a fixed script, for command-sequence and fault-injection tests.

Usage: scripted_peer.py PORT SCRIPT.json TRANSCRIPT

The script is a JSON list of steps run for every connection:
  {"send": "220 ready"}          send a line (CR LF added)
  {"raw": "text"}                 send text as it is
  {"expect": "USER bob"}         read one line and record it (the text is documentation; the
                                  test compares the transcript); the session ends at EOF
  {"flood": 100000}              send that many bytes without a line end
  {"lines": "211-x", "count": N} send the same line N times
  {"sleep": 250}                 pause, in milliseconds
  {"pasv": "10,255,255,1"}       open a data listener, announce it in a 227 reply under that address
  {"epsv": true}                 open a data listener, announce it in a 229 reply
  {"data": "text"}               accept on the data listener, send text, close it
  {"hang": true}                 stay silent until the client closes
  {"close": true}                end the session
Every line the client sends is appended to TRANSCRIPT; a connection that sends nothing leaves no
trace, so readiness probes do not disturb the transcript.
"""
import json
import socket
import sys
import threading
import time

lock = threading.Lock()


def record(path, line):
    with lock, open(path, "a", encoding="utf-8", errors="replace") as f:
        f.write(line + "\n")


def read_line(conn, buf):
    while b"\n" not in buf[0]:
        chunk = conn.recv(65536)
        if not chunk:
            return None
        buf[0] += chunk
    line, _, rest = buf[0].partition(b"\n")
    buf[0] = rest
    return line.rstrip(b"\r").decode("utf-8", "replace")


def session(conn, steps, transcript):
    buf = [b""]
    listener = None
    try:
        for step in steps:
            if "send" in step:
                conn.sendall(step["send"].encode() + b"\r\n")
            elif "raw" in step:
                conn.sendall(step["raw"].encode())
            elif "expect" in step:
                line = read_line(conn, buf)
                if line is None:
                    return
                record(transcript, line)
            elif "flood" in step:
                left = step["flood"]
                while left > 0:
                    n = min(left, 65536)
                    conn.sendall(b"A" * n)
                    left -= n
            elif "lines" in step:
                data = (step["lines"] + "\r\n").encode()
                for _ in range(step["count"]):
                    conn.sendall(data)
            elif "sleep" in step:
                time.sleep(step["sleep"] / 1000.0)
            elif "pasv" in step or "epsv" in step:
                listener = socket.socket()
                listener.bind(("127.0.0.1", 0))
                listener.listen(1)
                listener.settimeout(10)
                port = listener.getsockname()[1]
                if "pasv" in step:
                    reply = "227 Entering Passive Mode (%s,%d,%d)" % (step["pasv"], port // 256, port % 256)
                else:
                    reply = "229 Entering Extended Passive Mode (|||%d|)" % port
                conn.sendall(reply.encode() + b"\r\n")
            elif "data" in step:
                data_conn, _ = listener.accept()
                data_conn.sendall(step["data"].encode())
                data_conn.close()
            elif "hang" in step:
                while conn.recv(65536):
                    pass
                return
            elif "close" in step:
                return
    except OSError:
        pass
    finally:
        if listener is not None:
            listener.close()
        conn.close()


def main():
    port, script, transcript = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    with open(script, encoding="utf-8") as f:
        steps = json.load(f)
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", port))
    server.listen(16)
    while True:
        conn, _ = server.accept()
        threading.Thread(target=session, args=(conn, steps, transcript), daemon=True).start()


if __name__ == "__main__":
    main()
