#!/usr/bin/python3
"""A scripted Telnet server on loopback for the Telnet client and action tests.

--scenario picks what the server sends on connecting:
  negotiate  option requests (WILL ECHO, WILL SGA, DO TTYPE, DO NAWS, WILL 200, DO SGA, DO ECHO),
             then "pre-", "a" IAC IAC "b-" (one 0xFF data byte), a TTYPE subnegotiation cut over
             three writes, then "post\\r\\nready> "
  split      "log", and 300 ms later "in: " (a prompt over two TCP writes)
  prompts    "A\\r\\n"
  stream     3 MiB of "x" lines, then "end-prompt> "
  late-option "login: " and an option request in one write, then silence: the client answers the
             request and then has nothing to read while its user's line waits to go out
  slow-echo  "pw: "; every line then comes back a byte every 0.15 s, followed by "\r\n> "
Then every line the client sends (commands and subnegotiations taken out, IAC IAC undone) is
answered: "check" with "answers: ok" when every option request got its answer (else "answers:
missing ..."), "go" with "B", "bye" by closing, anything else with "got " and the line in hex.
Each accepted connection adds a line to --log.
"""
import argparse
import socket
import socketserver
import threading
import time

IAC, DONT, DO, WONT, WILL, SB, SE = 255, 254, 253, 252, 251, 250, 240
ECHO, SGA, TTYPE, NAWS = 1, 3, 24, 31

parser = argparse.ArgumentParser()
parser.add_argument("--port", type=int, required=True)
parser.add_argument("--scenario", required=True)
parser.add_argument("--log", required=True)
args = parser.parse_args()

REQUESTS = [(WILL, ECHO), (WILL, SGA), (DO, TTYPE), (DO, NAWS), (WILL, 200), (DO, SGA), (DO, ECHO)]
# What a client that lets the server echo, suppresses go-ahead and supports nothing else answers.
EXPECTED = {(WILL, ECHO): DO, (WILL, SGA): DO, (DO, TTYPE): WONT, (DO, NAWS): WONT,
            (WILL, 200): DONT, (DO, SGA): WILL, (DO, ECHO): WONT}
# What each scenario sends on connecting: the writes, each with the pause after it.
OPENINGS = {
    "negotiate": [(b"".join(bytes([IAC, verb, option]) for verb, option in REQUESTS), 0),
                  (b"pre-a" + bytes([IAC, IAC]) + b"b-", 0.1),
                  (bytes([IAC, SB, TTYPE]), 0.1), (bytes([1, IAC]), 0.1),  # a subnegotiation cut in three
                  (bytes([SE]) + b"post\r\nready> ", 0)],
    "split": [(b"log", 0.3), (b"in: ", 0)],
    "prompts": [(b"A\r\n", 0)],
    "slow-echo": [(b"pw: ", 0)],
    "late-option": [(b"login: " + bytes([IAC, DO, TTYPE]), 0)],
    "stream": [(b"x" * 1023 + b"\n", 0)] * (3 * 1024) + [(b"end-prompt> ", 0)],
}
log_lock = threading.Lock()


class Handler(socketserver.BaseRequestHandler):
    def send(self, data, pause=0.0):
        self.request.sendall(data)
        time.sleep(pause)

    def opening(self):
        for data, pause in OPENINGS.get(args.scenario, []):
            self.send(data, pause)

    def answer(self, line):
        if line == b"check":
            missing = [f"{verb}/{option}" for (verb, option), want in EXPECTED.items()
                       if self.answers.get(option, {}).get(verb) != want]
            self.send(b"answers: " + (", ".join(missing).encode() if missing else b"ok") + b"\r\n")
        elif line == b"go":
            self.send(b"B\r\n")
        elif line == b"bye":
            return False
        elif args.scenario == "slow-echo":
            for byte in line:
                self.send(bytes([byte]), 0.15)
            self.send(b"\r\n> ")
        else:
            self.send(b"got " + line.hex().encode() + b"\r\n")
        return True

    def handle(self):
        with log_lock, open(args.log, "a") as f:
            f.write("accepted\n")
        self.request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        # answers[option][request verb] = the client's answer (WILL/DO requests are answered by
        # DO/DONT, DO/DONT ones by WILL/WONT).
        self.answers = {}
        self.opening()
        data, line, state = b"", b"", None
        while True:
            chunk = self.request.recv(4096)
            if not chunk:
                return
            for byte in chunk:
                if state is None:
                    if byte == IAC:
                        state = "iac"
                    elif byte == ord("\n"):
                        if not self.answer(line.rstrip(b"\r")):
                            return
                        line = b""
                    else:
                        line += bytes([byte])
                elif state == "iac":
                    if byte == IAC:
                        line += bytes([IAC])
                        state = None
                    elif byte in (WILL, WONT, DO, DONT):
                        state = byte
                    elif byte == SB:
                        state = "sb"
                    else:
                        state = None
                elif state == "sb":
                    state = "sb-iac" if byte == IAC else "sb"
                elif state == "sb-iac":
                    state = None if byte == SE else "sb"
                else:
                    request = {WILL: DO, WONT: DO, DO: WILL, DONT: WILL}[state]
                    self.answers.setdefault(byte, {})[request] = state
                    state = None


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


Server(("127.0.0.1", args.port), Handler).serve_forever()
