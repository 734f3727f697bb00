#!/usr/bin/python3
"""Partial updates that fetch only the changed entries, against today's
whole-package partial update, on the install benchmark's release (about
200 MiB in 300 files) served by pyftpdlib on 127.0.0.1.

Cases: one 10 KB file changed; ten files changed, spread over the package.
For each case the two sides alternate over several rounds against the same
package; the whole-package side is the same updater talking to a server that
refuses "SIZE", which is what makes it fetch the whole package as before.
Reported: wall time of the updater run and the bytes of the package that
reached the updater on data connections (testing/ftp_server_counting.py).
For scale, the time of a partial update with nothing changed (log-in and
the version list only) is measured too: no partial update can be faster.
With --rate MBIT the server sends no faster than a line of that speed (for
instance 100 for 100 Mbit/s), where loopback alone is faster than any user's
line and makes the whole download look almost free.
Run: bench/ranged_bench.py [--rounds N] [--rate MBIT]
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
import install_bench  # noqa: E402  (the release generator and the build)

TOP = install_bench.TOP
MIB = install_bench.MIB


def serve(root, port, work, refuse, rate):
    log = os.path.join(work, "transfers")
    port_file = os.path.join(work, "port")
    for path in (log, port_file):
        if os.path.exists(path):
            os.remove(path)
    argv = ["/usr/bin/python3", os.path.join(TOP, "testing", "ftp_server_counting.py"),
            "--root", root, "--user", install_bench.USER, "--password", install_bench.PASSWORD,
            "--port", str(port), "--port-file", port_file, "--transfer-log", log]
    for command in refuse:
        argv += ["--refuse", command]
    if rate:
        argv += ["--rate", str(rate)]
    server = subprocess.Popen(argv)
    for _ in range(200):
        if os.path.exists(port_file):
            break
        time.sleep(0.05)
    return server, log


def package_bytes(log):
    total = 0
    with open(log) as f:
        for line in f:
            name, count = line.split()
            if name == "Brindax.zip":
                total += int(count)
    return total


def run_once(updater, root, port, work, local_list, refuse, rate=0):
    target = os.path.join(work, "install")
    shutil.rmtree(target, ignore_errors=True)
    os.makedirs(target)
    with open(os.path.join(target, "LocalVersion.ver"), "w") as f:
        f.write(local_list)
    server, log = serve(root, port, work, refuse, rate)
    try:
        seconds, _, code, err = install_bench.measure([updater, "MajLocal"], target)
    finally:
        server.send_signal(signal.SIGTERM)
        server.wait()
    assert code == 0 and err == "", (code, err)
    return seconds, package_bytes(log)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--rate", type=float, default=0, help="line speed in Mbit/s (0: loopback)")
    args = parser.parse_args()

    port = install_bench.free_port()
    updater = install_bench.build_updater(port)
    work = tempfile.mkdtemp(prefix="brindax-ranged-bench-")
    try:
        root = os.path.join(work, "ftp")
        remote = os.path.join(root, install_bench.REMOTE)
        os.makedirs(remote)
        release = os.path.join(work, "release")
        os.makedirs(release)
        print("making the release ...", flush=True)
        records = install_bench.make_release(release)
        small = "data3/part0/small.txt"
        with open(os.path.join(release, small), "wb") as f:
            f.write((b"small file of ten kilobytes\n" * 400)[:10000])
        records.insert(len(records) // 2, small + "@1.0")
        package = os.path.join(remote, "Brindax.zip")
        subprocess.run(["zip", "-q", "-r", package, "."], cwd=release, check=True)
        with open(os.path.join(remote, "Brindax.ver"), "w") as f:
            f.write("Brindax.zip\n" + "\n".join(records) + "\n")
        size = os.path.getsize(package)
        spread = [records[i] for i in range(0, len(records), len(records) // 10)][:10]
        sizes = sum(os.path.getsize(os.path.join(release, r.split("@")[0])) for r in spread)
        print("package %.1f MiB, %d records; ten spread files hold %.1f MiB unpacked"
              % (size / MIB, len(records), sizes / MIB))

        def local_list(changed):
            return "Brindax.zip\n" + "\n".join(r + ".old" if r in changed else r for r in records) + "\n"

        floor = statistics.median(run_once(updater, root, port, work, local_list([]), [], args.rate)[0]
                                  for _ in range(args.rounds))
        summary = ["  nothing changed (log-in and version list only): %.3f s" % floor]
        for title, changed in (("one 10 KB file changed", [small + "@1.0"]),
                               ("ten files changed, spread over the package", spread)):
            listing = local_list(changed)
            times = {"whole": [], "ranged": []}
            received = {"whole": [], "ranged": []}
            print("\n" + title)
            for r in range(args.rounds):
                for side, refuse in (("whole", ["SIZE"]), ("ranged", [])):
                    seconds, got = run_once(updater, root, port, work, listing, refuse, args.rate)
                    times[side].append(seconds)
                    received[side].append(got)
                print("  round %d: whole %.2f s, %.1f MiB; ranged %.3f s, %.2f MiB (%.2f%% of the package)"
                      % (r + 1, times["whole"][-1], received["whole"][-1] / MIB, times["ranged"][-1],
                         received["ranged"][-1] / MIB, 100.0 * received["ranged"][-1] / size))
            for r in changed:
                name = r.split("@")[0]
                with open(os.path.join(release, name), "rb") as a, \
                        open(os.path.join(work, "install", name), "rb") as b:
                    assert a.read() == b.read(), name
            t_whole, t_ranged = statistics.median(times["whole"]), statistics.median(times["ranged"])
            share = 100.0 * max(received["ranged"]) / size
            summary.append("  %s: ranged %.3f s vs whole %.3f s (ratio %.3f, goal <= 0.1), "
                           "at most %.2f MiB received (%.2f%% of the package, goal <= 1%%)"
                           % (title, t_ranged, t_whole, t_ranged / t_whole, max(received["ranged"]) / MIB,
                              share))
        print("\nsummary (medians of %d rounds)" % args.rounds)
        print("\n".join(summary))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
