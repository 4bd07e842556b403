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

    def redirect(self, code, location):
        self.answer(code, b"moved", [("Location", location)])

    def do_HEAD(self):
        self.do_GET()

    def do_GET(self):
        auth = self.headers.get("Authorization")
        print(self.command, self.path, "auth" if auth else "-", flush=True)
        origin = "%s://127.0.0.1:%d" % (self.server.scheme, self.server.server_address[1])
        path = self.path.split("?", 1)[0]
        if path == "/file.txt":
            self.answer(200, FILE, [("Content-Type", "text/plain")])
        elif path == "/chain/a":
            self.redirect(302, "/chain/b")
        elif path == "/chain/b":
            self.redirect(301, origin + "/chain/c")
        elif path == "/chain/c":
            self.redirect(307, "../file.txt")
        elif path == "/loop":
            self.redirect(302, "/loop")
        elif path == "/elsewhere":
            self.redirect(302, origin.replace("127.0.0.1", "localhost") + "/auth")
        elif path == "/disposition":
            self.answer(200, FILE, [("Content-Disposition",
                                     "attachment; filename=\"plain.txt\"; filename*=UTF-8''na%C3%AFve%20r%C3%A9sum%C3%A9.txt")])
        elif path == "/disposition-latin1":
            self.answer(200, FILE, [("Content-Disposition",
                                     "attachment; filename=\"a;b \\\"c\\\".txt\"; filename*=iso-8859-1'en'caf%E9.txt")])
        elif path == "/typename":
            self.answer(200, FILE, [("Content-Type", "application/octet-stream; name=\"data.bin\"")])
        elif path == "/dir/":
            self.answer(200, FILE)
        elif path == "/hostile-name":
            self.answer(200, FILE, [("Content-Disposition", "attachment; filename=\"../escape.txt\"")])
        elif path == "/text-raw":
            self.answer(200, b"ok \xe9", [("Content-Type", "text/plain")])
        elif path == "/text-latin1":
            self.answer(200, b"ok \xe9", [("Content-Type", "text/plain; charset=ISO-8859-1")])
        elif path == "/auth":
            expected = "Basic " + base64.b64encode(self.server.credentials.encode()).decode()
            if auth == expected:
                self.answer(200, FILE)
            else:
                self.answer(401, b"who are you", [("WWW-Authenticate", "Basic realm=\"test\"")])
        elif path == "/error":
            self.answer(500, b"broken")
        elif path == "/slow":
            self.send_response(200)
            self.send_header("Content-Length", "100000")
            self.end_headers()
            self.wfile.write(b"s" * 100)
            self.wfile.flush()
            time.sleep(60)
            self.close_connection = True
        elif path == "/half":
            self.send_response(200)
            self.send_header("Content-Length", "1000")
            self.end_headers()
            self.wfile.write(b"h" * 500)
            self.wfile.flush()
            self.close_connection = True
        else:
            self.answer(404, b"no such thing")


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
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--tls-port", type=int, required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
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
