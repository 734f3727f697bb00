#!/usr/bin/python3
"""The tests' read-only FTP server (Debian's python3-pyftpdlib) that also
counts what it sends, and can be told to misbehave in set ways.

Run with /usr/bin/python3:
  ftp_server_counting.py --root DIR --user U --password P [--host 127.0.0.1]
      [--port N] [--port-file FILE] [--command-log FILE]
      [--transfer-log FILE] [--refuse CMD]... [--swap-before-retr K:NAME:SOURCE]
      [--rate MBIT]
The first options work as in ftp_server.py. --transfer-log appends one line "<file name> <bytes>" per data transfer,
written when it ends: for a transfer that the server completed, every byte
of it; for one that the client cut short, what the client's system had
acknowledged by then (TCP_INFO's bytes_acked), since bytes still in the
server's send buffer never reach the client. --refuse CMD answers every CMD with 502,
as a server that lacks it. --swap-before-retr moves SOURCE over NAME (both
relative to the served root) just before the K-th (1-based) RETR of NAME is
served: the package replaced on the server between two requests. --rate
sends data no faster than MBIT megabits per second, as over a line of that
speed (benchmarks).
Serves until killed (SIGTERM).
"""
import argparse
import os
import socket
import struct
import sys

from pyftpdlib.handlers import DTPHandler, ThrottledDTPHandler

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ftp_server  # noqa: E402  (the tests' plain server, which this one extends)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    ftp_server.add_arguments(parser)
    parser.add_argument("--transfer-log")
    parser.add_argument("--refuse", action="append", default=[])
    parser.add_argument("--swap-before-retr")
    parser.add_argument("--rate", type=float, default=0)
    args = parser.parse_args()

    refused = {name.upper() for name in args.refuse}
    swap = None
    if args.swap_before_retr:
        k, name, source = args.swap_before_retr.split(":", 2)
        swap = {"k": int(k), "name": name, "source": source, "seen": 0}

    # Offset of tcpi_bytes_acked in Linux's struct tcp_info.
    bytes_acked_offset = 120

    class CountingDTP(ThrottledDTPHandler if args.rate > 0 else DTPHandler):
        def close(self):
            if not self._closed and self.socket is not None:
                try:
                    info = self.socket.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 256)
                    self.cmd_channel.bytes_acked = struct.unpack_from("Q", info, bytes_acked_offset)[0]
                except (OSError, struct.error):
                    self.cmd_channel.bytes_acked = -1
            super().close()

    if args.rate > 0:
        CountingDTP.write_limit = int(args.rate * 1000 * 1000 / 8)

    class Handler(ftp_server.handler_class(args)):
        bytes_acked = -1

        def pre_process_command(self, line, cmd, arg):
            if cmd in refused:
                # Logged as received, then refused as by a server that lacks it.
                if args.command_log:
                    with open(args.command_log, "a") as f:
                        f.write(line + "\n")
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
            if args.transfer_log:
                with open(args.transfer_log, "a") as f:
                    f.write("%s %d\n" % (os.path.basename(filename), counted))
            return super().log_transfer(cmd, filename, receive, completed, elapsed, bytes)

    Handler.dtp_handler = CountingDTP
    ftp_server.serve(args, Handler)


if __name__ == "__main__":
    main()
