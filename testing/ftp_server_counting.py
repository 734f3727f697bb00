#!/usr/bin/python3
"""The tests' read-only FTP server (Debian's python3-pyftpdlib) that also
counts what it sends, and can be told to misbehave in set ways.

Run with /usr/bin/python3:
  ftp_server_counting.py --root DIR --user U --password P [--host 127.0.0.1]
      [--port N] [--port-file FILE] [--command-log FILE]
      [--transfer-log FILE] [--refuse CMD]... [--swap-before-retr K:NAME:SOURCE]
      [--rate MBIT] [--drop-at NAME:FRACTION]
The first options work as in ftp_server.py. --transfer-log appends one line "<file name> <bytes>" per data transfer,
written when it ends: for a transfer that the server completed, every byte
of it; for one that the client cut short, what the client's system had
acknowledged by then (TCP_INFO's bytes_acked), since bytes still in the
server's send buffer never reach the client. --refuse CMD answers every CMD with 502,
as a server that lacks it. --swap-before-retr moves SOURCE over NAME (both
relative to the served root) just before the K-th (1-based) RETR of NAME is
served: the package replaced on the server between two requests. --rate
sends data no faster than MBIT megabits per second, as over a line of that
speed (benchmarks). --drop-at breaks the data connection of the first
RETR of NAME once it reaches FRACTION (0 to 1) of the file's bytes, and
answers that transfer with 426: a line that drops in the middle of a
download.
Serves until killed (SIGTERM).
"""
import argparse
import logging
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
    parser.add_argument("--drop-at")
    args = parser.parse_args()
    drop = None
    if args.drop_at:
        name, fraction = args.drop_at.rsplit(":", 1)
        drop = {"name": os.path.basename(name), "fraction": float(fraction), "done": False}

    refused = {name.upper() for name in args.refuse}
    swap = None
    if args.swap_before_retr:
        k, name, source = args.swap_before_retr.split(":", 2)
        swap = {"k": int(k), "name": name, "source": source, "seen": 0}

    # Offset of tcpi_bytes_acked in Linux's struct tcp_info.
    bytes_acked_offset = 120

    class CountingDTP(ThrottledDTPHandler if args.rate > 0 else DTPHandler):
        def use_sendfile(self):
            return False if drop else super().use_sendfile()

        def send(self, data):
            left = self.cmd_channel.drop_after
            if left is None:
                return super().send(data)
            if left <= 0:
                return 0  # nothing more goes out; the break is on its way
            sent = super().send(data[:left])
            self.cmd_channel.drop_after = left - sent
            if self.cmd_channel.drop_after <= 0:
                self.ioloop.call_later(0.1, self.break_off)
            return sent

        def break_off(self):
            self.cmd_channel.drop_after = None
            if not self._closed:
                self._resp = ("426 Connection closed; transfer aborted.", logging.debug)
                self.close()

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

        drop_after = None  # bytes of the running RETR before its connection breaks

        def push_dtp_data(self, data, isproducer=False, file=None, cmd=None):
            if (drop and not drop["done"] and cmd == "RETR" and file is not None
                    and os.path.basename(file.name) == drop["name"]):
                drop["done"] = True
                cut = int(os.fstat(file.fileno()).st_size * drop["fraction"])
                self.drop_after = max(0, cut - file.tell())
            return super().push_dtp_data(data, isproducer, file, cmd)

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
