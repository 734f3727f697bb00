#!/usr/bin/python3
"""A partial update of one changed 700 KB binary in a 124 MiB package (330 MiB unpacked),
published with brindax-publish (manifest and deltas), against a curl fetch
of the whole package, on pyftpdlib at 127.0.0.1.

Sides, in turns over several rounds against the same server:
  delta     the manifest and the delta file (what a user one release behind gets)
  ranges    the manifest without deltas: the entry's bytes by range
  no-manifest  no manifest on the server: the ranged update as before it
  curl      curl fetching the whole package
Reported per side: the median wall time, its ratio to curl's, the bytes that
reached the client on data connections, and the FTP commands the updater sent
(each a round trip; a transfer adds the data connection's). Also the time
`brindax-publish make --previous` takes.

Uses the test build (build/linux, its updater built for loopback port
BRINDAX_TEST_FTP_PORT, given here as --port).
Run: bench/partial_update_bench.py --port N [--rounds N]
"""
import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import install_bench  # noqa: E402  (the release generator and the measuring)

TOP = install_bench.TOP
MIB = install_bench.MIB
BIN = os.path.join(TOP, "build", "linux")
CHANGED = "lib/core.dll"


def lines(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return f.read().splitlines()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    updater = os.path.join(BIN, "tests", "brindax-updater-local-noapp")
    publish = os.path.join(BIN, "bin", "brindax-publish")
    work = tempfile.mkdtemp(prefix="brindax-partial-bench-")
    server = None
    try:
        source = os.path.join(work, "source")
        os.makedirs(os.path.join(source, "lib"))
        print("making the releases ...", flush=True)
        install_bench.make_release(source, total_bytes=330 * MIB)  # a package of about 124 MiB
        binary = bytearray(os.urandom(700 * 1024))
        with open(os.path.join(source, CHANGED), "wb") as f:
            f.write(binary)
        r1, r2 = os.path.join(work, "r1"), os.path.join(work, "r2")
        subprocess.run([publish, "make", source, r1], check=True, stdout=subprocess.DEVNULL)
        old_binary = bytes(binary)
        for at in (1000, 300000, 650000):  # a fix that touches three functions
            binary[at:at + 4096] = os.urandom(4096)
        with open(os.path.join(source, CHANGED), "wb") as f:
            f.write(binary)
        start = time.perf_counter()
        subprocess.run([publish, "make", source, r2, "--previous", r1], check=True, stdout=subprocess.DEVNULL)
        make_seconds = time.perf_counter() - start

        root = os.path.join(work, "ftp")
        remote = os.path.join(root, install_bench.REMOTE)
        shutil.copytree(r2, remote)
        package_size = os.path.getsize(os.path.join(remote, "Brindax.zip"))
        # The installation: release 1's files and list.
        target = os.path.join(work, "install")
        shutil.copytree(source, target)
        with open(os.path.join(target, CHANGED), "wb") as f:
            f.write(old_binary)
        shutil.copy(os.path.join(r1, "Brindax.ver"), os.path.join(target, "LocalVersion.ver"))

        commands, transfers = os.path.join(work, "commands"), os.path.join(work, "transfers")
        port_file = os.path.join(work, "port")
        server = subprocess.Popen(["/usr/bin/python3", os.path.join(TOP, "testing", "ftp_server_counting.py"),
                                   "--root", root, "--user", install_bench.USER,
                                   "--password", install_bench.PASSWORD, "--port", str(args.port),
                                   "--port-file", port_file, "--command-log", commands,
                                   "--transfer-log", transfers])
        for _ in range(200):
            if os.path.exists(port_file):
                break
            time.sleep(0.05)
        url = "ftp://%s:%s@127.0.0.1:%d/%s/Brindax.zip" % (install_bench.USER, install_bench.PASSWORD,
                                                          args.port, install_bench.REMOTE)
        hidden = os.path.join(work, "hidden")
        os.makedirs(hidden)

        def arrange(side):
            for name in ("Brindax.ver.manifest", "deltas"):
                for here, there in ((os.path.join(hidden, name), os.path.join(remote, name)),):
                    if os.path.exists(here):
                        shutil.move(here, there)
            if side == "ranges":
                shutil.move(os.path.join(remote, "deltas"), os.path.join(hidden, "deltas"))
            if side == "no-manifest":
                shutil.move(os.path.join(remote, "Brindax.ver.manifest"), os.path.join(hidden, "Brindax.ver.manifest"))

        sides = ("delta", "ranges", "no-manifest", "curl")
        results = {side: {"seconds": [], "bytes": [], "commands": [], "peak": []} for side in sides}
        for r in range(args.rounds):
            for side in sides:
                arrange(side)
                with open(os.path.join(target, CHANGED), "wb") as f:
                    f.write(old_binary)
                before_commands, before_transfers = len(lines(commands)), len(lines(transfers))
                if side == "curl":
                    seconds, peak, code, err = install_bench.measure(
                        ["curl", "-sS", "-o", os.path.join(work, "whole.zip"), url], work)
                else:
                    seconds, peak, code, err = install_bench.measure([updater, "MajLocal"], target)
                    with open(os.path.join(target, CHANGED), "rb") as f:
                        assert f.read() == bytes(binary), side
                assert code == 0 and err == "", (side, code, err)
                time.sleep(0.3)  # the server writes its logs once a transfer has ended
                got = sum(int(l.split()[-1]) for l in lines(transfers)[before_transfers:])
                results[side]["seconds"].append(seconds)
                results[side]["bytes"].append(got)
                results[side]["commands"].append(len(lines(commands)) - before_commands)
                results[side]["peak"].append(peak)
        curl = statistics.median(results["curl"]["seconds"])
        print("package %.1f MiB; make --previous took %.1f s" % (package_size / MIB, make_seconds))
        print("medians of %d rounds:" % args.rounds)
        for side in sides:
            t = statistics.median(results[side]["seconds"])
            print("  %-12s %.3f s (%.3fx curl)  %9d bytes  %2d commands  peak %d KiB"
                  % (side, t, t / curl, statistics.median(results[side]["bytes"]),
                     statistics.median(results[side]["commands"]), max(results[side]["peak"])))
    finally:
        if server is not None:
            server.send_signal(signal.SIGTERM)
            server.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
