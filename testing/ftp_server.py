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


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file")
    parser.add_argument("--command-log")
    args = parser.parse_args()

    config_logging(level=logging.ERROR)

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

    server = FTPServer((args.host, args.port), Handler)
    port = server.address[1]

    def stop(signum, frame):
        server.close_all()
        sys.exit(0)

    signal.signal(signal.SIGTERM, stop)

    if args.port_file:
        partial = args.port_file + ".partial"
        with open(partial, "w") as f:
            f.write("%d\n" % port)
        os.replace(partial, args.port_file)

    server.serve_forever(handle_exit=False)


if __name__ == "__main__":
    main()
