#!/usr/bin/python3
"""The tests' read-only FTP server (Debian's python3-pyftpdlib) that also
counts what it sends, and can be told to misbehave in set ways.

Run with /usr/bin/python3:
  ftp_server_counting.py --root DIR --user U --password P [--host 127.0.0.1]
      [--port N] [--port-file FILE] [--command-log FILE]
      [--transfer-log FILE] [--refuse CMD]... [--swap-before-retr K:NAME:SOURCE]
The first options work as in ftp_server.py. --transfer-log appends one line "<file name> <bytes>" per data transfer,
written when it ends: for a transfer that the server completed, every byte
of it; for one that the client cut short, what the client's system had
acknowledged by then (TCP_INFO's bytes_acked), since bytes still in the
server's send buffer never reach the client. --refuse CMD answers every CMD with 502,
as a server that lacks it. --swap-before-retr moves SOURCE over NAME (both
relative to the served root) just before the K-th (1-based) RETR of NAME is
served: the package replaced on the server between two requests.
Serves until killed (SIGTERM).
"""
import argparse
import logging
import os
import signal
import socket
import struct
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.log import config_logging
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file")
    parser.add_argument("--command-log")
    parser.add_argument("--transfer-log")
    parser.add_argument("--refuse", action="append", default=[])
    parser.add_argument("--swap-before-retr")
    args = parser.parse_args()

    config_logging(level=logging.ERROR)
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elr")
    refused = {name.upper() for name in args.refuse}
    swap = None
    if args.swap_before_retr:
        k, name, source = args.swap_before_retr.split(":", 2)
        swap = {"k": int(k), "name": name, "source": source, "seen": 0}

    def append(path, text):
        if path:
            with open(path, "a") as f:
                f.write(text)

    # Offset of tcpi_bytes_acked in Linux's struct tcp_info.
    bytes_acked_offset = 120

    class CountingDTP(DTPHandler):
        def close(self):
            if not self._closed and self.socket is not None:
                try:
                    info = self.socket.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 256)
                    self.cmd_channel.bytes_acked = struct.unpack_from("Q", info, bytes_acked_offset)[0]
                except (OSError, struct.error):
                    self.cmd_channel.bytes_acked = -1
            super().close()

    class Handler(FTPHandler):
        bytes_acked = -1

        def pre_process_command(self, line, cmd, arg):
            append(args.command_log, ("PASS ****" if cmd == "PASS" else line) + "\n")
            if cmd in refused:
                self.respond("502 Command not implemented.")
                return
            if swap and cmd == "RETR" and os.path.basename(arg) == os.path.basename(swap["name"]):
                swap["seen"] += 1
                if swap["seen"] == swap["k"]:
                    os.replace(os.path.join(args.root, swap["source"]),
                               os.path.join(args.root, swap["name"]))
            return super().pre_process_command(line, cmd, arg)

        def log_transfer(self, cmd, filename, receive, completed, elapsed, bytes):
            counted = bytes if completed else self.bytes_acked
            append(args.transfer_log, "%s %d\n" % (os.path.basename(filename), counted))
            return super().log_transfer(cmd, filename, receive, completed, elapsed, bytes)

    Handler.authorizer = authorizer
    Handler.dtp_handler = CountingDTP
    Handler.auth_failed_timeout = 0.1
    Handler.permit_foreign_addresses = False

    server = FTPServer((args.host, args.port), Handler)

    def stop(signum, frame):
        server.close_all()
        sys.exit(0)

    signal.signal(signal.SIGTERM, stop)
    if args.port_file:
        partial = args.port_file + ".partial"
        with open(partial, "w") as f:
            f.write("%d\n" % server.address[1])
        os.replace(partial, args.port_file)
    server.serve_forever(handle_exit=False)


if __name__ == "__main__":
    main()
