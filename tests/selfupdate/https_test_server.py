#!/usr/bin/python3
"""HTTPS server for the self-updater's tests (standard library only).

Serves the files of --root under several behaviours chosen by the first
path segment, prints "PORT <n>" on stdout once it listens, and runs until
it is terminated. Routes:

  /files/<name>            the file, with Content-Length
  /chunked/<name>          the file, chunked transfer coding, no Content-Length
  /truncated/<name>        Content-Length of the whole file, half the bytes, then close
  /stall/<name>            Content-Length, the first 4096 bytes, then silence
  /silent                  reads the request and never answers
  /slow/<name>             the file in 4096-byte pieces, 50 ms apart
  /redirect/<code>/<n>/<rest>   <n> redirects with status <code>, then /<rest>
  /relative/<name>         302 with the relative Location "../files/<name>"
  /loop                    302 to itself, forever
  /to-http/<rest>          302 to http://127.0.0.1:<port>/<rest> (plain HTTP)
  /no-location             302 without a Location header
  /status/<code>           that status with a short body
  /headers                 the request headers as the body
"""
import argparse
import http.server
import os
import ssl
import sys
import threading
import time

STOP = threading.Event()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    root = "."

    def log_message(self, fmt, *args):  # keep the test output readable
        pass

    def read_file(self, name):
        path = os.path.join(self.root, os.path.basename(name))
        with open(path, "rb") as handle:
            return handle.read()

    def send_simple(self, code, body=b"", headers=None):
        self.send_response(code)
        for key, value in (headers or {}).items():
            self.send_header(key, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def redirect(self, code, location):
        self.send_simple(code, b"moved\n", {"Location": location})

    def do_GET(self):
        parts = self.path.lstrip("/").split("/")
        route = parts[0]
        rest = "/".join(parts[1:])
        try:
            if route == "files":
                self.send_simple(200, self.read_file(rest))
            elif route == "chunked":
                self.send_chunked(self.read_file(rest))
            elif route == "truncated":
                data = self.read_file(rest)
                self.send_response(200)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data[: len(data) // 2])
                self.wfile.flush()
                self.close_connection = True
                self.connection.shutdown(2)
            elif route == "stall":
                data = self.read_file(rest)
                self.send_response(200)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data[:4096])
                self.wfile.flush()
                STOP.wait(60)
                self.close_connection = True
            elif route == "silent":
                STOP.wait(60)
                self.close_connection = True
            elif route == "slow":
                data = self.read_file(rest)
                self.send_response(200)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                for offset in range(0, len(data), 4096):
                    self.wfile.write(data[offset : offset + 4096])
                    self.wfile.flush()
                    if STOP.wait(0.05):
                        break
            elif route == "redirect":
                code, count = int(parts[1]), int(parts[2])
                tail = "/".join(parts[3:])
                if count > 0:
                    self.redirect(code, "/redirect/%d/%d/%s" % (code, count - 1, tail))
                else:
                    self.redirect(code, "/" + tail)
            elif route == "relative":
                self.redirect(302, "../files/" + rest)
            elif route == "loop":
                self.redirect(302, "/loop")
            elif route == "to-http":
                self.redirect(302, "http://127.0.0.1:%d/%s" % (self.server.server_address[1], rest))
            elif route == "no-location":
                self.send_simple(302, b"nowhere\n")
            elif route == "status":
                self.send_simple(int(rest), b"status page\n")
            elif route == "headers":
                self.send_simple(200, str(self.headers).encode("utf-8"))
            else:
                self.send_simple(404, b"unknown route\n")
        except FileNotFoundError:
            self.send_simple(404, b"no such file\n")
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            self.close_connection = True

    def send_chunked(self, data):
        self.send_response(200)
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        for offset in range(0, len(data), 7000):
            piece = data[offset : offset + 7000]
            self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
        self.wfile.write(b"0\r\n\r\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    args = parser.parse_args()

    Handler.root = args.root
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    print("PORT %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever(poll_interval=0.1)
    finally:
        STOP.set()


if __name__ == "__main__":
    sys.exit(main())
