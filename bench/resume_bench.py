#!/usr/bin/python3
"""Continuing a package download in the next run after the first was cut at
90 %: a full install of a 40 MiB package (stored noise, so every byte counts)
from pyftpdlib on 127.0.0.1, sending no faster than --rate Mbit/s, is killed
once its partial package holds 90 % of the bytes; the next full install
continues it. Reported: the share of the package the server sent in the
next run (the goal: at most 12 %) and that run's wall time, against a full
install from nothing.
Run: bench/resume_bench.py --build BUILD_DIR [--rate MBIT] [--rounds N]
(the build's brindax-updater-local, whose port is BRINDAX_TEST_FTP_PORT).
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import zipfile

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
USER, PASSWORD = "vantorel", "Zi3zEr8Iz5"
REMOTE = "public_html/source/Kelmor"


def built_port(build):
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        return int(re.search(r"BRINDAX_TEST_FTP_PORT:STRING=(\d+)", f.read()).group(1))


def serve(root, port, work, rate):
    log, port_file = os.path.join(work, "transfers"), os.path.join(work, "port")
    for path in (log, port_file):
        if os.path.exists(path):
            os.remove(path)
    server = subprocess.Popen(
        ["/usr/bin/python3", os.path.join(TOP, "testing", "ftp_server_counting.py"), "--root", root,
         "--user", USER, "--password", PASSWORD, "--port", str(port), "--port-file", port_file,
         "--transfer-log", log, "--rate", str(rate)])
    while not os.path.exists(port_file):
        time.sleep(0.05)
    return server, log


def sent(log):
    if not os.path.exists(log):
        return 0
    with open(log) as f:
        return sum(int(n) for name, n in (line.split() for line in f) if name == "Brindax.zip" and int(n) > 0)


def fresh(folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True)
    parser.add_argument("--rate", type=float, default=200)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    program = os.path.abspath(os.path.join(args.build, "tests", "brindax-updater-local"))
    port = built_port(args.build)
    work = tempfile.mkdtemp(prefix="brindax-resume-bench-")
    root, install = os.path.join(work, "ftp"), os.path.join(work, "install")
    os.makedirs(os.path.join(root, REMOTE))
    package = os.path.join(root, REMOTE, "Brindax.zip")
    with zipfile.ZipFile(package, "w", zipfile.ZIP_STORED) as z:
        z.writestr("big.bin", os.urandom(40 << 20))
        z.writestr("Brindax.exe", "#!/bin/sh\n")
    with open(os.path.join(root, REMOTE, "Brindax.ver"), "w") as f:
        f.write("Brindax.zip\nBrindax.exe@1\nbig.bin@1\n")
    size = os.path.getsize(package)
    server, log = serve(root, port, work, args.rate)
    try:
        for round_ in range(args.rounds):
            fresh(install)
            start = time.monotonic()
            subprocess.run([program, "MajAll"], cwd=install, stderr=subprocess.DEVNULL, check=True)
            whole = time.monotonic() - start
            fresh(install)
            before = sent(log)
            run = subprocess.Popen([program, "MajAll"], cwd=install, stderr=subprocess.DEVNULL)
            partial = os.path.join(install, "package.brindax-part")
            while run.poll() is None and (not os.path.exists(partial) or os.path.getsize(partial) < 0.9 * size):
                time.sleep(0.002)
            run.send_signal(signal.SIGKILL)
            run.wait()
            held = os.path.getsize(partial)
            time.sleep(0.5)  # the server logs the broken transfer
            before = sent(log)
            start = time.monotonic()
            subprocess.run([program, "MajAll"], cwd=install, stderr=subprocess.DEVNULL, check=True)
            after = time.monotonic() - start
            ok = os.path.exists(os.path.join(install, "LocalVersion.ver"))
            print("round %d: cut at %.1f %%; next run fetched %.2f %% of %d bytes in %.2f s "
                  "(a whole install: %.2f s)%s" % (round_ + 1, 100.0 * held / size,
                                                   100.0 * (sent(log) - before) / size, size, after,
                                                   whole, "" if ok else "; NOT INSTALLED"))
    finally:
        server.send_signal(signal.SIGTERM)
        server.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
