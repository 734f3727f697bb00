#!/usr/bin/python3
"""Speed and memory of the updater against a local FTP server on 127.0.0.1.

1. Full install of a large release (about 200 MiB in 300 files and several
   folders, a third of it incompressible) next to curl fetching the same list
   and package plus unzip unpacking it; peak memory of the updater.
2. The update check on two lists of 100,000 records that differ only on the
   last one, next to curl fetching the same server list.

Both are measured for the updater as built by default and for a build with a
publisher key (BRINDAX_RELEASE_PUBLIC_KEY), which fetches and checks the
list's minisign signature and holds the package to the release that
signature binds; the release is signed with a key pair made once in
build/bench-signed. The keyed install should stay
within 15% of the plain one.

Each measurement alternates the two sides over several rounds against the
same server and reports medians. Run: bench/install_bench.py [--rounds N] [--port P]
(needs the Debian packages of the README's test command plus curl, unzip,
minisign and time).
"""
import argparse
import os
import random
import shutil
import hashlib
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
USER, PASSWORD = "vantorel", "Zi3zEr8Iz5"
REMOTE = "public_html/source/Kelmor"
MIB = 1024 * 1024


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def bench_key():
    """(public key line, secret key path) of the benchmark's key pair."""
    folder = os.path.join(TOP, "build", "bench-signed", "release-key")
    secret, public = os.path.join(folder, "bench.key"), os.path.join(folder, "bench.pub")
    if not (os.path.exists(secret) and os.path.exists(public)):
        os.makedirs(folder, exist_ok=True)
        for path in (secret, public):
            if os.path.exists(path):
                os.remove(path)
        subprocess.run(["minisign", "-G", "-W", "-p", public, "-s", secret], check=True,
                       stdout=subprocess.DEVNULL)
    with open(public) as f:
        line = [l.strip() for l in f if l.startswith("RW")][0]
    return line, secret


def sign(secret, path, comment=None):
    args = ["minisign", "-S", "-s", secret, "-m", path]
    if comment is not None:
        args += ["-t", comment]
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL)


def release_binding(package, sequence=1):
    """The list signature's trusted comment that binds `package` (as
    brindax-publish --sign writes it)."""
    digest = hashlib.blake2b(digest_size=64)
    size = 0
    with open(package, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
            size += len(block)
    return "brindax-release:%d size:%d blake2b512:%s" % (sequence, size, digest.hexdigest())


def build_updater(port, public_key=""):
    build = os.path.join(TOP, "build", "bench-signed" if public_key else "bench")
    subprocess.run(["cmake", "-S", TOP, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DBRINDAX_BUILD_TESTS=OFF", "-DBRINDAX_FTP_HOST=127.0.0.1",
                    "-DBRINDAX_FTP_PORT=%d" % port, "-DBRINDAX_APP_EXECUTABLE=",
                    "-DBRINDAX_RELEASE_PUBLIC_KEY=%s" % public_key],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "--target", "brindax-updater"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(build, "bin", "brindax-updater")


def make_release(folder, total_bytes=200 * MIB, files=300):
    """300 files in 6 folders; every third one random bytes, the others text."""
    rng = random.Random(7)
    words = [("".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(3, 9))))
             for _ in range(2000)]
    per_file = total_bytes // files
    records = []
    for i in range(files):
        sub = "data%d/part%d" % (i % 6, i % 3) if i % 5 else "data%d" % (i % 6)
        name = "%s/file%03d.%s" % (sub, i, "bin" if i % 3 == 0 else "txt")
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        size = rng.randint(per_file // 2, per_file * 3 // 2)
        with open(path, "wb") as f:
            if i % 3 == 0:
                f.write(os.urandom(size))
            else:
                chunk = (" ".join(rng.choice(words) for _ in range(4000)) + "\n").encode()
                while size > 0:
                    f.write(chunk[:size])
                    size -= len(chunk)
        records.append("%s@1.%d" % (name, i))
    return records


def measure(argv, cwd, env=None):
    """Wall time and peak resident memory (KiB) of one process.

    The peak comes from GNU time, which starts the process: Linux keeps in a
    process's peak the pages it had when it called exec, so a process forked
    from this interpreter would count the interpreter's own memory too.
    """
    with tempfile.NamedTemporaryFile(mode="r") as report:
        start = time.perf_counter()
        proc = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name] + argv, cwd=cwd,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
        seconds = time.perf_counter() - start
        peak = int(report.read().split()[-1])
    return seconds, peak, proc.returncode, proc.stderr.decode()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--port", type=int, default=0,
                        help="the local FTP server's port (default: a free one)")
    args = parser.parse_args()

    port = args.port or free_port()
    public_key, secret_key = bench_key()
    updater = build_updater(port)
    signed_updater = build_updater(port, public_key)
    work = tempfile.mkdtemp(prefix="brindax-bench-")
    server = None
    try:
        root = os.path.join(work, "ftp")
        remote = os.path.join(root, REMOTE)
        os.makedirs(remote)
        release = os.path.join(work, "release")
        os.makedirs(release)
        print("making the release ...", flush=True)
        records = make_release(release)
        subprocess.run(["zip", "-q", "-r", os.path.join(remote, "Brindax.zip"), "."], cwd=release, check=True)
        with open(os.path.join(remote, "Brindax.ver"), "w") as f:
            f.write("Brindax.zip\n" + "\n".join(records) + "\n")
        sign(secret_key, os.path.join(remote, "Brindax.ver"),
             release_binding(os.path.join(remote, "Brindax.zip")))
        unpacked = sum(os.path.getsize(os.path.join(d, n)) for d, _, ns in os.walk(release) for n in ns)
        print("release: %d files, %.1f MiB unpacked, package %.1f MiB" %
              (len(records), unpacked / MIB, os.path.getsize(os.path.join(remote, "Brindax.zip")) / MIB))
        shutil.rmtree(release)

        port_file = os.path.join(work, "port")
        server = subprocess.Popen(["/usr/bin/python3", os.path.join(TOP, "testing", "ftp_server.py"),
                                   "--root", root, "--user", USER, "--password", PASSWORD,
                                   "--host", "127.0.0.1", "--port", str(port), "--port-file", port_file])
        for _ in range(200):
            if os.path.exists(port_file):
                break
            time.sleep(0.05)
        base_url = "ftp://%s:%s@127.0.0.1:%d/%s/" % (USER, PASSWORD, port, REMOTE)

        install_ratios, peaks, signed_ratios, signed_peaks, key_costs = [], [], [], [], []
        plain_times, signed_times = [], []
        print("\nfull install (updater MajAll, plain and with a key) vs curl list + curl package + unzip")
        for r in range(args.rounds):
            target = os.path.join(work, "install")
            shutil.rmtree(target, ignore_errors=True)
            os.makedirs(target)
            # The two builds take turns at going first.
            times = {}
            for build in ((updater, signed_updater) if r % 2 == 0 else (signed_updater, updater)):
                times[build] = measure([build, "MajAll"], target)
                code, err = times[build][2:]
                assert code == 0 and err == "Reveriv: UnZip success\n", (code, err)
                assert not [n for n in os.listdir(target) if n.endswith(".minisig")], os.listdir(target)
                shutil.rmtree(target)
                os.makedirs(target)
            t_updater, peak = times[updater][:2]
            t_signed, signed_peak = times[signed_updater][:2]
            t_list = measure(["curl", "-sS", "-o", "Brindax.ver", base_url + "Brindax.ver"], target)[0]
            t_pkg = measure(["curl", "-sS", "-o", "Brindax.zip", base_url + "Brindax.zip"], target)[0]
            t_unzip = measure(["unzip", "-q", "-o", "Brindax.zip"], target)[0]
            os.remove(os.path.join(target, "Brindax.zip"))
            t_tools = t_list + t_pkg + t_unzip
            install_ratios.append(t_updater / t_tools)
            peaks.append(peak)
            signed_ratios.append(t_signed / t_tools)
            signed_peaks.append(signed_peak)
            key_costs.append(t_signed / t_updater)
            plain_times.append(t_updater)
            signed_times.append(t_signed)
            print("  round %d: updater %.2f s (peak %.1f MiB), with key %.2f s (peak %.1f MiB), "
                  "curl+curl+unzip %.2f s, ratios %.2f / %.2f, key/plain %.2f" %
                  (r + 1, t_updater, peak / 1024, t_signed, signed_peak / 1024, t_tools,
                   t_updater / t_tools, t_signed / t_tools, t_signed / t_updater))
        shutil.rmtree(os.path.join(work, "install"), ignore_errors=True)

        # The check: two lists of 100,000 records that differ only on the last.
        lines = ["Brindax.zip"] + ["dir%d/entry%06d.dat@1.0.%d" % (i % 50, i, i) for i in range(100000)]
        server_list = "\n".join(lines) + "\n"
        lines[-1] = lines[-1] + "x"
        local_list = "\n".join(lines) + "\n"
        with open(os.path.join(remote, "Brindax.ver"), "w") as f:
            f.write(server_list)
        sign(secret_key, os.path.join(remote, "Brindax.ver"),
             release_binding(os.path.join(remote, "Brindax.zip")))
        check_dir = os.path.join(work, "check")
        os.makedirs(check_dir)
        with open(os.path.join(check_dir, "LocalVersion.ver"), "w") as f:
            f.write(local_list)
        check_ratios, signed_check_ratios = [], []
        print("\nupdate check on 100,000 records (updater UpdateAvailable, plain and with a key) "
              "vs curl fetching the list (%.1f MiB)" % (len(server_list) / MIB))
        for r in range(args.rounds * 2 + 1):
            t_check, peak, code, err = measure([updater, "UpdateAvailable"], check_dir)
            assert code == 2 and err == "", (code, err)
            t_signed, _, code, err = measure([signed_updater, "UpdateAvailable"], check_dir)
            assert code == 2 and err == "", (code, err)
            t_curl = measure(["curl", "-sS", "-o", "curl.ver", base_url + "Brindax.ver"], check_dir)[0]
            os.remove(os.path.join(check_dir, "curl.ver"))
            check_ratios.append(t_check / t_curl)
            signed_check_ratios.append(t_signed / t_curl)
            print("  round %d: check %.3f s (exit %d, peak %.1f MiB), with key %.3f s, curl %.3f s, "
                  "ratios %.2f / %.2f" % (r + 1, t_check, code, peak / 1024, t_signed, t_curl,
                                          t_check / t_curl, t_signed / t_curl))

        print("\nsummary")
        print("  full install: median ratio %.2f (goal <= 1.0), peak memory max %.1f MiB (goal < 16)" %
              (statistics.median(install_ratios), max(peaks) / 1024))
        print("  full install with a key: median ratio %.2f, peak memory max %.1f MiB; "
              "median key/plain time %.2f (goal <= 1.15)" %
              (statistics.median(signed_ratios), max(signed_peaks) / 1024, statistics.median(key_costs)))
        print("  full install median times: plain %.3f s, with a key %.3f s (%+.0f%%)" %
              (statistics.median(plain_times), statistics.median(signed_times),
               100 * (statistics.median(signed_times) / statistics.median(plain_times) - 1)))
        print("  update check: median ratio %.2f (goal <= 1.2); with a key %.2f" %
              (statistics.median(check_ratios), statistics.median(signed_check_ratios)))
    finally:
        if server:
            server.send_signal(signal.SIGTERM)
            server.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
