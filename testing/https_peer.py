#!/usr/bin/python3
"""A hostile HTTPS server for the transport's tests: each path answers in a
way a well-behaved server (the tests' nginx) never does.

    https_peer.py PORT CERT KEY

Serves on 127.0.0.1:PORT with the given certificate until killed; prints
"ready" once listening.
"""
import socketserver
import ssl
import sys
import time

BODY = bytes(range(256)) * 16  # 4096 bytes
LIST = b"Brindax.zip\nBrindax.exe@1\n"


def answer(path):
    """The raw response head and body for a path."""
    if path == "/short.bin":  # announces more than it sends, then closes
        return b"HTTP/1.1 200 OK\r\nContent-Length: 8192\r\n\r\n", BODY
    # The three below end with a TCP close and no TLS close_notify (the
    # handler's socket is shut down without an SSL shutdown), as a cut by
    # anyone on the path would.
    if path == "/unframed.ver":  # no Content-Length, no chunks: ends at the close
        return b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", LIST
    if path == "/cut-chunked.ver":  # chunked, cut before the last chunk
        return b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", b"%x\r\n%s\r\n" % (len(LIST), LIST)
    if path == "/chunked.ver":  # chunked and whole
        return (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
                b"%x\r\n%s\r\n0\r\n\r\n" % (len(LIST), LIST))
    if path == "/gzip.bin":
        return (b"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 4096\r\n\r\n", BODY)
    if path == "/huge-head.bin":
        filler = b"".join(b"X-Filler-%d: %s\r\n" % (i, b"y" * 1000) for i in range(70))
        return b"HTTP/1.1 200 OK\r\n" + filler + b"Content-Length: 4096\r\n\r\n", BODY
    if path == "/wrong-range.bin":  # a range other than the one asked for
        return (b"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-9/4096\r\n"
                b"Content-Length: 10\r\n\r\n", BODY[:10])
    if path == "/silent.bin":  # takes the request and never answers
        time.sleep(120)
    return b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", b""


class Handler(socketserver.StreamRequestHandler):
    def handle(self):
        line = self.rfile.readline(65536).decode("latin-1")
        while self.rfile.readline(65536) not in (b"\r\n", b"\n", b""):
            pass
        parts = line.split()
        head, body = answer(parts[1] if len(parts) > 1 else "/")
        try:
            self.wfile.write(head + body)
            self.wfile.flush()
        except OSError:
            pass


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


def main():
    port, cert, key = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server = Server(("127.0.0.1", port), Handler)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    print("ready", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
