#!/usr/bin/python3
"""The update check over HTTPS: an updater built with a release URL checks a
version list of 100,000 records (nothing changed: exit code 0) against
nginx on 127.0.0.1, beside `curl` fetching the same list from the same
server. Both make one TLS handshake and one GET; the difference is what the
updater adds (start-up, reading and comparing the lists).

Certificates are made with testing/https_pki.sh; the updater build is a test
build (BRINDAX_BUILD_TESTS=ON) so that it trusts the bench's CA file.
Run: bench/https_bench.py [--rounds N]
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
PORT = 47320
RECORDS = 100_000


def build_updater(ca_file):
    build = os.path.join(TOP, "build", "https-bench")
    subprocess.run(["cmake", "-S", TOP, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DBRINDAX_BUILD_TESTS=ON", "-DBRINDAX_APP_EXECUTABLE=",
                    "-DBRINDAX_RELEASE_URL=https://127.0.0.1:%d/source/Kelmor/" % PORT,
                    "-DBRINDAX_TEST_CA_FILE=%s" % ca_file],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "--target", "brindax-updater"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(build, "bin", "brindax-updater")


def start_nginx(work, pki, root):
    conf = os.path.join(work, "nginx.conf")
    with open(conf, "w") as f:
        f.write("worker_processes 1;\npid %s/nginx.pid;\nerror_log %s/error.log;\n" % (work, work))
        if os.geteuid() == 0:
            f.write("user root root;\n")
        f.write("events { worker_connections 64; }\nhttp {\n  access_log off;\n")
        for temp in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"):
            f.write("  %s_temp_path %s/%s;\n" % (temp, work, temp))
        f.write("  server {\n    listen 127.0.0.1:%d ssl;\n    ssl_certificate %s/ok.crt;\n"
                "    ssl_certificate_key %s/ok.key;\n    root %s;\n  }\n}\n" % (PORT, pki, pki, root))
    server = subprocess.Popen(["/usr/sbin/nginx", "-p", work, "-e", os.path.join(work, "error.log"),
                               "-c", conf, "-g", "daemon off;"])
    time.sleep(0.5)
    return server


def measure(argv, cwd):
    start = time.perf_counter()
    done = subprocess.run(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return time.perf_counter() - start, done.returncode, done.stderr.decode()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="brindax-https-bench-")
    server = None
    try:
        pki = os.path.join(work, "pki")
        ca_file = os.path.join(TOP, "build", "https-bench-ca.pem")
        subprocess.run(["bash", os.path.join(TOP, "testing", "https_pki.sh"), pki, ca_file], check=True)
        updater = build_updater(ca_file)
        root = os.path.join(work, "www")
        folder = os.path.join(root, "source", "Kelmor")
        os.makedirs(folder)
        listing = "Brindax.zip\n" + "".join("data/file%06d.txt@%016x\n" % (i, i * 2654435761)
                                            for i in range(RECORDS))
        with open(os.path.join(folder, "Brindax.ver"), "w") as f:
            f.write(listing)
        install = os.path.join(work, "install")
        os.makedirs(install)
        with open(os.path.join(install, "LocalVersion.ver"), "w") as f:
            f.write(listing)
        server = start_nginx(work, pki, root)
        url = "https://127.0.0.1:%d/source/Kelmor/Brindax.ver" % PORT
        sides = {
            "updater check": [updater, "UpdateAvailable"],
            "curl": ["curl", "-sS", "--fail", "--cacert", ca_file, "-o", os.devnull, url],
        }
        times = {name: [] for name in sides}
        for _ in range(args.rounds):
            for name, argv in sides.items():
                seconds, code, err = measure(argv, install)
                assert code == 0 and err == "", (name, code, err)
                times[name].append(seconds)
        print("version list: %d records, %.1f MiB; %d rounds" % (RECORDS, len(listing) / 2**20, args.rounds))
        for name, values in times.items():
            print("  %-14s median %7.1f ms  (min %7.1f, max %7.1f)" % (
                name, 1000 * statistics.median(values), 1000 * min(values), 1000 * max(values)))
    finally:
        if server is not None:
            server.terminate()
            server.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
