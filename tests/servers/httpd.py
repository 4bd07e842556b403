#!/usr/bin/python3
"""HTTP and HTTPS test server for the HTTP client tests (Python's http.server only).

Routes:
  /file.txt                       200, the text FILE
  /chain/a -> /chain/b -> /chain/c -> /file.txt
                                  302 with an absolute-path Location, 301 with an absolute URL,
                                  307 with a relative one
  /loop                           302 to itself
  /elsewhere                      302 to the same route on 'localhost' (another origin)
  /disposition                    Content-Disposition with filename and filename* (UTF-8)
  /disposition-latin1             Content-Disposition with a quoted filename and filename* (ISO-8859-1)
  /typename                       Content-Type with a name parameter
  /auth                           401 unless the basic credentials given on the command line come
  /missing                        404
  /error                          500
  /slow                           Content-Length 100000, sends 100 bytes, then nothing for 60 s
  /half                           Content-Length 1000, sends 500 bytes, then closes
  /dir/                           200 with no name in any header
  /hostile-name                   Content-Disposition naming "../escape.txt"
  /text-raw, /text-latin1         "ok " and the byte E9, without a charset and as ISO-8859-1
Routes are matched without the query; every request is logged to stdout as "METHOD path Authorization-present".
"""
import argparse
import base64
import http.server
import ssl
import sys
import threading
import time

FILE = b"Plain file body.\n"
# Each route's status and Location, {origin} being this server's and {other} the same on "localhost".
REDIRECTS = {"/chain/a": (302, "/chain/b"), "/chain/b": (301, "{origin}/chain/c"), "/chain/c": (307, "../file.txt"),
             "/loop": (302, "/loop"), "/elsewhere": (302, "{other}/auth")}
# Each route's status, body and headers.
ANSWERS = {
    "/file.txt": (200, FILE, [("Content-Type", "text/plain")]),
    "/disposition": (200, FILE, [("Content-Disposition", "attachment; filename=\"plain.txt\"; "
                                  "filename*=UTF-8''na%C3%AFve%20r%C3%A9sum%C3%A9.txt")]),
    "/disposition-latin1": (200, FILE, [("Content-Disposition", "attachment; filename=\"a;b \\\"c\\\".txt\"; "
                                         "filename*=iso-8859-1'en'caf%E9.txt")]),
    "/typename": (200, FILE, [("Content-Type", "application/octet-stream; name=\"data.bin\"")]),
    "/dir/": (200, FILE),
    "/hostile-name": (200, FILE, [("Content-Disposition", "attachment; filename=\"../escape.txt\"")]),
    "/text-raw": (200, b"ok \xe9", [("Content-Type", "text/plain")]),
    "/text-latin1": (200, b"ok \xe9", [("Content-Type", "text/plain; charset=ISO-8859-1")]),
    "/error": (500, b"broken"),
}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def answer(self, code, body=b"", headers=()):
        self.send_response(code)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def do_HEAD(self):
        self.do_GET()

    def do_GET(self):
        auth = self.headers.get("Authorization")
        print(self.command, self.path, "auth" if auth else "-", flush=True)
        origin = "%s://127.0.0.1:%d" % (self.server.scheme, self.server.server_address[1])
        path = self.path.split("?", 1)[0]
        if path in REDIRECTS:
            code, location = REDIRECTS[path]
            self.answer(code, b"moved", [("Location", location.format(origin=origin,
                                                                     other=origin.replace("127.0.0.1", "localhost")))])
        elif path == "/auth":
            expected = "Basic " + base64.b64encode(self.server.credentials.encode()).decode()
            if auth == expected:
                self.answer(200, FILE)
            else:
                self.answer(401, b"who are you", [("WWW-Authenticate", "Basic realm=\"test\"")])
        elif path in ("/slow", "/half"):
            # A body that stops short of its Content-Length: held open for a minute, or closed.
            length, sent = (100000, b"s" * 100) if path == "/slow" else (1000, b"h" * 500)
            self.send_response(200)
            self.send_header("Content-Length", str(length))
            self.end_headers()
            self.wfile.write(sent)
            self.wfile.flush()
            time.sleep(60 if path == "/slow" else 0)
            self.close_connection = True
        else:
            self.answer(*ANSWERS.get(path, (404, b"no such thing")))


def serve(port, scheme, credentials, context=None):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
    server.daemon_threads = True
    server.scheme = scheme
    server.credentials = credentials
    if context is not None:
        server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()


def main():
    parser = argparse.ArgumentParser()
    for name in ("--port", "--tls-port"):
        parser.add_argument(name, type=int, required=True)
    for name in ("--cert", "--key", "--user", "--password"):
        parser.add_argument(name, required=True)
    args = parser.parse_args()
    credentials = args.user + ":" + args.password
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    serve(args.port, "http", credentials)
    # The fixture waits for the TLS port, so it opens last.
    serve(args.tls_port, "https", credentials, context)
    sys.stdout.flush()
    threading.Event().wait()


if __name__ == "__main__":
    main()
