#!/usr/bin/python3
"""The updater over HTTPS against nginx on 127.0.0.1, three measurements:

check    The update check of a version list of 100,000 records (nothing
         changed: exit code 0; and a list that differs in its last record:
         exit code 2) beside `curl` fetching the same list from the same
         server. Both make one TLS handshake and one GET; the difference
         is what the updater adds (start-up, writing, reading and comparing
         the lists). Goal: at most 1.05x curl.
delay    The same check with 50 ms added in each direction by a delaying TCP
         relay (bench/delay_relay.py) in front of nginx, and the same check by
         an FTP build against testing/ftp_server.py behind the same kind of
         relay (it rewrites the passive replies so that data connections are
         relayed too). Goal: HTTPS at most 0.5x FTP.
install  A full install of a release of about 200 MiB in 300 files (made as
         bench/install_bench.py makes it) beside curl fetching the list, curl
         fetching the package and unzip; peak memory of the updater.
         Goals: at most 0.35x the tools, under 16 MiB.

The HTTPS updater is built as the product is (its own build folder); it
trusts the system's store alone, which for the bench is a private one holding
the bench's CA (made with testing/https_pki.sh), named to OpenSSL through
SSL_CERT_FILE / SSL_CERT_DIR.
Every measurement alternates the sides over several rounds and reports
medians; the machine's load (uptime) is printed with them.
Run: bench/https_bench.py [--rounds N] [--tls12] [check] [delay] [install]
(needs the Debian packages of the README's test command plus curl, unzip and
time).
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, "bench"))
import install_bench  # noqa: E402  (make_release, measure)

HTTPS_PORT = 47350    # the HTTPS build's URL: nginx, or the relay in front of it
FTP_PORT = 47352      # the FTP build's server: the relay in front of the FTP server
NGINX_BEHIND = 47355  # nginx when the relay takes HTTPS_PORT
FTP_BEHIND = 47356
RECORDS = 100_000
DELAY_MS = 50
USER, PASSWORD = install_bench.USER, install_bench.PASSWORD
MIB = 1024 * 1024
TLS12_ONLY = False  # --tls12: nginx offers TLS 1.2 only


def cmake_build(folder, options):
    build = os.path.join(TOP, "build", folder)
    subprocess.run(["cmake", "-S", TOP, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DBRINDAX_APP_EXECUTABLE="] + options, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "--target", "brindax-updater"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(build, "bin", "brindax-updater")


def https_updater():
    return cmake_build("https-bench", ["-DBRINDAX_BUILD_TESTS=OFF",
                                       "-DBRINDAX_RELEASE_URL=https://127.0.0.1:%d/source/Kelmor/" % HTTPS_PORT])


def ftp_updater():
    return cmake_build("https-bench-ftp", ["-DBRINDAX_BUILD_TESTS=OFF", "-DBRINDAX_RELEASE_URL=",
                                           "-DBRINDAX_FTP_HOST=127.0.0.1", "-DBRINDAX_FTP_PORT=%d" % FTP_PORT])


def wait_port(port):
    import socket
    for _ in range(200):
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.05)
    raise RuntimeError("nothing listens on %d" % port)


class Servers:
    """The processes a measurement runs against; all stopped by close()."""

    def __init__(self, work, pki):
        self.work, self.pki, self.processes = work, pki, []

    def start(self, argv):
        self.processes.append(subprocess.Popen(argv, stdout=subprocess.DEVNULL))

    def nginx(self, port, root):
        run = tempfile.mkdtemp(prefix="nginx-", dir=self.work)
        conf = os.path.join(run, "nginx.conf")
        with open(conf, "w") as f:
            f.write("worker_processes 1;\npid %s/nginx.pid;\nerror_log %s/error.log;\n" % (run, run))
            if os.geteuid() == 0:
                f.write("user root root;\n")
            f.write("events { worker_connections 64; }\nhttp {\n  access_log off;\n")
            for temp in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"):
                f.write("  %s_temp_path %s/%s;\n" % (temp, run, temp))
            # TLS 1.3 as well (nginx 1.22 offers only up to 1.2 unless asked):
            # its handshake takes one round trip instead of two.
            f.write("  ssl_protocols %s;\n" % ("TLSv1.2" if TLS12_ONLY else "TLSv1.2 TLSv1.3"))
            f.write("  server {\n    listen 127.0.0.1:%d ssl;\n    ssl_certificate %s/ok.crt;\n"
                    "    ssl_certificate_key %s/ok.key;\n    root %s;\n  }\n}\n" % (port, self.pki, self.pki, root))
        self.start(["/usr/sbin/nginx", "-p", run, "-e", os.path.join(run, "error.log"), "-c", conf,
                    "-g", "daemon off;"])
        wait_port(port)

    def ftp(self, port, root):
        self.start(["/usr/bin/python3", os.path.join(TOP, "testing", "ftp_server.py"), "--root", root,
                    "--user", USER, "--password", PASSWORD, "--host", "127.0.0.1", "--port", str(port)])
        wait_port(port)

    def relay(self, port, target, ftp=False):
        self.start(["/usr/bin/python3", os.path.join(TOP, "bench", "delay_relay.py"), str(port), str(target),
                    str(DELAY_MS)] + (["--ftp"] if ftp else []))
        wait_port(port)

    def close(self):
        for p in self.processes:
            p.terminate()
        for p in self.processes:
            p.wait()
        self.processes = []


def load():
    return subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()


def report(title, times):
    print(title)
    for name, values in times.items():
        print("  %-22s median %8.1f ms  (min %8.1f, max %8.1f)" % (
            name, 1000 * statistics.median(values), 1000 * min(values), 1000 * max(values)))


def rounds_of(sides, rounds, cwd, expected):
    times = {name: [] for name in sides}
    for r in range(rounds):
        order = list(sides.items()) if r % 2 == 0 else list(reversed(sides.items()))
        for name, argv in order:
            seconds, _, code, err = install_bench.measure(argv, cwd)
            assert code == expected.get(name, 0) and err == "", (name, code, err)
            times[name].append(seconds)
    return times


def version_list():
    return "Brindax.zip\n" + "".join("data/file%06d.txt@%016x\n" % (i, i * 2654435761) for i in range(RECORDS))


def check(work, servers, updater, ca_file, rounds):
    root = os.path.join(work, "www")
    folder = os.path.join(root, "source", "Kelmor")
    os.makedirs(folder, exist_ok=True)
    listing = version_list()
    differing = listing[:-2] + ("0" if listing[-2] != "0" else "1") + "\n"
    for path, text in ((os.path.join(folder, "Brindax.ver"), listing),
                       (os.path.join(work, "check", "LocalVersion.ver"), listing),
                       (os.path.join(work, "differs", "LocalVersion.ver"), differing)):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
    servers.nginx(HTTPS_PORT, root)
    url = "https://127.0.0.1:%d/source/Kelmor/Brindax.ver" % HTTPS_PORT
    # curl to a file as well: the updater keeps the list it fetched in a file
    # too (and reads it back with the installation's own).
    times = rounds_of({"updater check": [updater, "UpdateAvailable"],
                       "curl": ["curl", "-sS", "--fail", "--cacert", ca_file, "-o", os.devnull, url],
                       "curl to a file": ["curl", "-sS", "--fail", "--cacert", ca_file, "-o", "curl.ver", url]},
                      rounds, os.path.join(work, "check"), {})
    differs = rounds_of({"updater check, differs": [updater, "UpdateAvailable"],
                         "curl": ["curl", "-sS", "--fail", "--cacert", ca_file, "-o", os.devnull, url]},
                        rounds, os.path.join(work, "differs"), {"updater check, differs": 2})
    servers.close()
    report("check of %d records (%.1f MiB), %d rounds; %s" % (RECORDS, len(listing) / MIB, rounds, load()), times)
    ratio = statistics.median(times["updater check"]) / statistics.median(times["curl"])
    print("  ratio updater/curl %.2f (goal <= 1.05); against curl to a file %.2f" % (
        ratio, statistics.median(times["updater check"]) / statistics.median(times["curl to a file"])))
    report("check of the list differing in its last record, %d rounds; %s" % (rounds, load()), differs)
    print("  ratio updater/curl %.2f (goal <= 1.2)" % (
        statistics.median(differs["updater check, differs"]) / statistics.median(differs["curl"])))


def delay(work, servers, updater, ftp_build, rounds):
    root = os.path.join(work, "www")
    folder = os.path.join(root, "source", "Kelmor")
    ftp_folder = os.path.join(work, "ftp", install_bench.REMOTE)
    os.makedirs(folder, exist_ok=True)
    os.makedirs(ftp_folder, exist_ok=True)
    listing = version_list()
    for path in (os.path.join(folder, "Brindax.ver"), os.path.join(ftp_folder, "Brindax.ver"),
                 os.path.join(work, "check", "LocalVersion.ver")):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(listing)
    servers.nginx(NGINX_BEHIND, root)
    servers.relay(HTTPS_PORT, NGINX_BEHIND)
    servers.ftp(FTP_BEHIND, os.path.join(work, "ftp"))
    servers.relay(FTP_PORT, FTP_BEHIND, ftp=True)
    times = rounds_of({"HTTPS check": [updater, "UpdateAvailable"], "FTP check": [ftp_build, "UpdateAvailable"]},
                      rounds, os.path.join(work, "check"), {})
    servers.close()
    report("check with %d ms added each way, %d rounds; %s" % (DELAY_MS, rounds, load()), times)
    ratio = statistics.median(times["HTTPS check"]) / statistics.median(times["FTP check"])
    print("  ratio HTTPS/FTP %.2f (goal <= 0.5)" % ratio)


def install(work, servers, updater, ca_file, rounds):
    root = os.path.join(work, "www")
    folder = os.path.join(root, "source", "Kelmor")
    os.makedirs(folder, exist_ok=True)
    release = os.path.join(work, "release")
    os.makedirs(release)
    print("making the release ...", flush=True)
    records = install_bench.make_release(release)
    subprocess.run(["zip", "-q", "-r", os.path.join(folder, "Brindax.zip"), "."], cwd=release, check=True)
    with open(os.path.join(folder, "Brindax.ver"), "w") as f:
        f.write("Brindax.zip\n" + "\n".join(records) + "\n")
    shutil.rmtree(release)
    servers.nginx(HTTPS_PORT, root)
    base = "https://127.0.0.1:%d/source/Kelmor/" % HTTPS_PORT
    target = os.path.join(work, "install")
    updater_times, tool_times, peaks, curl_peaks = [], [], [], []
    for r in range(rounds):
        for side in ("updater", "tools") if r % 2 == 0 else ("tools", "updater"):
            shutil.rmtree(target, ignore_errors=True)
            os.makedirs(target)
            subprocess.run(["sync"])
            if side == "updater":
                seconds, peak, code, err = install_bench.measure([updater, "MajAll"], target)
                assert code == 0 and err == "Reveriv: UnZip success\n", (code, err)
                updater_times.append(seconds)
                peaks.append(peak)
            else:
                total = 0.0
                for argv in (["curl", "-sS", "--fail", "--cacert", ca_file, "-o", "Brindax.ver", base + "Brindax.ver"],
                             ["curl", "-sS", "--fail", "--cacert", ca_file, "-o", "Brindax.zip", base + "Brindax.zip"],
                             ["unzip", "-q", "-o", "Brindax.zip"]):
                    seconds, peak, code, err = install_bench.measure(argv, target)
                    assert code == 0, (argv, code, err)
                    total += seconds
                    if argv[-1].endswith(".zip"):
                        curl_peaks.append(peak)
                tool_times.append(total)
    shutil.rmtree(target, ignore_errors=True)
    servers.close()
    report("full install of %d files, package %.1f MiB, %d rounds; %s" % (
        len(records), os.path.getsize(os.path.join(folder, "Brindax.zip")) / MIB, rounds, load()),
        {"updater MajAll": updater_times, "curl+curl+unzip": tool_times})
    print("  ratio updater/tools %.2f (goal <= 0.35); peak memory max %.1f MiB (goal < 16), by round %s" % (
        statistics.median(updater_times) / statistics.median(tool_times), max(peaks) / 1024,
        " ".join("%.1f" % (p / 1024) for p in peaks)))
    print("  (curl fetching the package: peak memory max %.1f MiB; most of either is the TLS and HTTP "
          "libraries' pages)" % (max(curl_peaks) / 1024))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--updater", help="an HTTPS updater already built as this bench builds it")
    parser.add_argument("--ftp-updater", help="an FTP updater already built as this bench builds it")
    parser.add_argument("--tls12", action="store_true", help="nginx offers TLS 1.2 only")
    parser.add_argument("what", nargs="*", help="check, delay, install (default: all three)")
    args = parser.parse_args()
    global TLS12_ONLY
    TLS12_ONLY = args.tls12
    what = args.what or ["check", "delay", "install"]
    if set(what) - {"check", "delay", "install"}:
        parser.error("measurements are check, delay and install")
    work = tempfile.mkdtemp(prefix="brindax-https-bench-")
    pki = os.path.join(work, "pki")
    ca_file = os.path.join(TOP, "build", "https-bench-ca.pem")
    servers = Servers(work, pki)
    try:
        subprocess.run(["bash", os.path.join(TOP, "testing", "https_pki.sh"), pki, ca_file], check=True)
        # The updater's system store: the bench's CA alone.
        store = os.path.join(work, "store")
        os.makedirs(store)
        os.environ.update({"SSL_CERT_FILE": ca_file, "SSL_CERT_DIR": store})
        updater = os.path.abspath(args.updater) if args.updater else https_updater()
        if "check" in what:
            check(os.path.join(work, "c"), servers, updater, ca_file, args.rounds)
        if "delay" in what:
            delay(os.path.join(work, "d"), servers, updater, os.path.abspath(args.ftp_updater) if args.ftp_updater else ftp_updater(), args.rounds)
        if "install" in what:
            install(os.path.join(work, "i"), servers, updater, ca_file, max(3, args.rounds // 2))
    finally:
        servers.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
