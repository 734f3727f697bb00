#!/usr/bin/python3
"""A read-only FTP server for the tests (Debian's python3-pyftpdlib).

Run with /usr/bin/python3:
  ftp_server.py --root DIR --user U --password P [--host 127.0.0.1] [--port N]
                [--port-file FILE] [--command-log FILE]
--port 0 lets the system choose a free port. Once the server listens, the
bound port is written to FILE (written under another name, then renamed, so
a reader never sees half a number). With --command-log every command line
that a client sends is appended to FILE (the password replaced by "****").
Serves until killed (SIGTERM).

Other test servers build on add_arguments, handler_class and serve.
"""
import argparse
import logging
import os
import signal
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.log import config_logging
from pyftpdlib.servers import FTPServer


def add_arguments(parser):
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file")
    parser.add_argument("--command-log")


def handler_class(args):
    """A handler for the one read-only account that logs commands."""
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elr")
    command_log = args.command_log

    class Handler(FTPHandler):
        def pre_process_command(self, line, cmd, arg):
            if command_log:
                shown = "PASS ****" if cmd == "PASS" else line
                with open(command_log, "a") as f:
                    f.write(shown + "\n")
            return super().pre_process_command(line, cmd, arg)

    Handler.authorizer = authorizer
    Handler.auth_failed_timeout = 0.1  # answer a wrong password at once
    Handler.permit_foreign_addresses = False
    return Handler


def serve(args, handler):
    """Listens, writes the port file and serves until SIGTERM."""
    config_logging(level=logging.ERROR)
    server = FTPServer((args.host, args.port), handler)

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


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    add_arguments(parser)
    args = parser.parse_args()
    serve(args, handler_class(args))


if __name__ == "__main__":
    main()
