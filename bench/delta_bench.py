#!/usr/bin/python3
"""Bytes an update moves with the release manifest and binary deltas, on two
consecutive versions of a real Debian package with large binaries.

Both versions are fetched with `apt-get download PKG=VERSION` (kept in
build/delta-bench/debs), unpacked with `dpkg-deb -x`, and published with
brindax-publish (signed with the benchmark's key pair; the second with
--previous). Reported side by side, for an installation at the first
version:
  * the whole package;
  * the changed entries as ranges of the package;
  * what the manifest offers: per changed file its delta from the installed
    file, else the file compressed alone (new, or changed with no delta
    worth it), else its entry's range, each way counted apart, plus the
    manifest and the signatures fetched beside the list (manifest and list);
  * `zstd -19 --long --patch-from` per changed file (a new file: zstd -19
    --long of it);
  * `bsdiff` per changed file (a new file: against an empty file);
and the time and peak memory (/usr/bin/time -f %M) of `brindax-publish make`
with deltas.

The updater's own figures (bytes fetched, downloads, time and peak memory of
an update against a full install) come from updater_figures() below when
--updater is given: PATH of an updater built for BRINDAX_FTP_HOST=127.0.0.1
and --port, or "build" to build this tree's updater for a free port.

Run: bench/delta_bench.py [--package PKG] [--old VERSION --new VERSION]
     [--updater PATH|build [--port N]] [--rounds N] [--fetches]
Without versions, the two newest versions `apt-cache madison` lists.
Needs: zstd, bsdiff, minisign, time, dpkg-dev, and for the updater figures
python3-pyftpdlib.
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
import install_bench  # noqa: E402  (measure, keys, builds)

TOP = install_bench.TOP
MIB = install_bench.MIB
WORK = os.path.join(TOP, "build", "delta-bench")
LIST = "Brindax.ver"
MANIFEST = LIST + ".manifest"


def run(argv, **kw):
    return subprocess.run(argv, check=True, **kw)


def versions_of(package):
    out = run(["apt-cache", "madison", package], stdout=subprocess.PIPE, text=True).stdout
    seen = []
    for line in out.splitlines():
        version = line.split("|")[1].strip()
        if version not in seen:
            seen.append(version)
    if len(seen) < 2:
        sys.exit("%s: apt-cache madison lists fewer than two versions" % package)
    newer = subprocess.run(["dpkg", "--compare-versions", seen[0], "gt", seen[1]]).returncode == 0
    return (seen[1], seen[0]) if newer else (seen[0], seen[1])


def unpacked(package, version):
    """The folder of the version's files: regular files only (links are
    refused by the publisher), names the publisher takes."""
    debs = os.path.join(WORK, "debs")
    os.makedirs(debs, exist_ok=True)
    deb = [f for f in os.listdir(debs) if f.startswith(package + "_") and
           f.split("_")[1] == version.split(":")[-1]]
    if not deb:
        run(["apt-get", "download", "-q", "%s=%s" % (package, version)], cwd=debs,
            stdout=subprocess.DEVNULL)
        deb = [f for f in os.listdir(debs) if f.startswith(package + "_") and
               f.split("_")[1] == version.split(":")[-1]]
    raw = os.path.join(WORK, "raw-" + version.replace(":", "_"))
    folder = os.path.join(WORK, "src-" + version.replace(":", "_"))
    for path in (raw, folder):
        shutil.rmtree(path, ignore_errors=True)
    run(["dpkg-deb", "-x", os.path.join(debs, deb[0]), raw])
    skipped = 0
    for top, _, files in os.walk(raw):
        for name in files:
            path = os.path.join(top, name)
            relative = os.path.relpath(path, raw)
            if os.path.islink(path) or not all(c.isalnum() or c in "._+-/" for c in relative):
                skipped += 1
                continue
            os.makedirs(os.path.dirname(os.path.join(folder, relative)), exist_ok=True)
            shutil.copy2(path, os.path.join(folder, relative))
    shutil.rmtree(raw)
    return folder, skipped


def manifest_of(release):
    text = run(["zstd", "-dc", os.path.join(release, MANIFEST)], stdout=subprocess.PIPE).stdout.decode("latin-1")
    files, current = {}, None
    for line in text.splitlines()[3:]:
        fields = line.split(" ")
        if fields[0] == "file":
            current = {"size": int(fields[1]), "digest": fields[2], "offset": int(fields[3]),
                       "compressed": int(fields[4]), "name": " ".join(fields[6:]), "deltas": []}
            files[current["name"]] = current
        elif fields[0] in ("delta", "difference"):
            current["deltas"].append({"kind": fields[0], "base": fields[1], "size": int(fields[3]),
                                      "file": " ".join(fields[5:])})
    return files


def way_of(file, base):
    """What the updater takes for `file` over an installed file of digest
    `base` ("-": none): the delta from it, else the file alone, else the
    entry by range. (kind, bytes)"""
    for wanted in (base, "-"):
        offered = [d for d in file["deltas"] if d["base"] == wanted]
        if offered:
            d = offered[0]
            return ("file alone" if wanted == "-" else d["kind"]), d["size"]
    return "entry by range", file["compressed"] + 30 + len(file["name"].encode())


def tool_sizes(old_src, new_src, changed, work):
    """Per changed file: bytes of zstd -19 --long --patch-from and of bsdiff."""
    empty = os.path.join(work, "empty")
    open(empty, "wb").close()
    zstd_total = bsdiff_total = 0
    out = os.path.join(work, "tool.out")
    for name, is_new in changed:
        new = os.path.join(new_src, name)
        old = empty if is_new else os.path.join(old_src, name)
        if is_new:
            run(["zstd", "-q", "-f", "-19", "--long", new, "-o", out])
        else:
            run(["zstd", "-q", "-f", "-19", "--long", "--patch-from=" + old, new, "-o", out])
        zstd_total += os.path.getsize(out)
        run(["bsdiff", old, new, out])
        bsdiff_total += os.path.getsize(out)
    return zstd_total, bsdiff_total


# --- the updater's figures ---------------------------------------------------------------
# The place where an update with the manifest is measured against a full
# install: the release r1 is installed, the server then serves r2, and the
# updater brings the installation to r2. Reported per case: bytes that
# reached the updater (every file, by the counting server's log), the number
# of downloads, wall time and peak memory (median over the rounds). An FTP
# range has no end: the server sends on until the updater closes the data
# connection, and over loopback the rest of the file is then already sent,
# so the log counts more than the updater read.

def serve(root, port, work):
    log = os.path.join(work, "transfers")
    port_file = os.path.join(work, "port")
    for path in (log, port_file):
        if os.path.exists(path):
            os.remove(path)
    server = subprocess.Popen(["/usr/bin/python3", os.path.join(TOP, "testing", "ftp_server_counting.py"),
                               "--root", root, "--user", install_bench.USER, "--password",
                               install_bench.PASSWORD, "--port", str(port), "--port-file", port_file,
                               "--transfer-log", log])
    for _ in range(200):
        if os.path.exists(port_file):
            break
        time.sleep(0.05)
    return server, log


def transfers(log, show=False):
    total = count = 0
    with open(log) as f:
        for line in f:
            name, size = line.rsplit(" ", 1)
            if name != LIST:
                total += int(size)
                count += 1
                if show:
                    print("    fetched %s: %s bytes" % (name, size.strip()))
    return total, count


def publish_to(root, release):
    remote = os.path.join(root, install_bench.REMOTE)
    shutil.rmtree(remote, ignore_errors=True)
    shutil.copytree(release, remote)


def update_once(updater, port, work, r1, r2, mode, fresh, show=False):
    """One run of `mode` bringing an installation (empty when `fresh`) at r1
    to r2: (seconds, peak KiB, bytes fetched beside the list, downloads)."""
    root = os.path.join(work, "ftp")
    target = os.path.join(work, "install")
    shutil.rmtree(target, ignore_errors=True)
    os.makedirs(target)
    if not fresh:
        publish_to(root, r1)
        server, _ = serve(root, port, work)
        try:
            _, _, code, err = install_bench.measure([updater, "MajAll"], target)
        finally:
            server.send_signal(signal.SIGTERM)
            server.wait()
        assert code == 0, (code, err)
    publish_to(root, r2)
    server, log = serve(root, port, work)
    try:
        seconds, peak, code, err = install_bench.measure([updater, mode], target)
    finally:
        server.send_signal(signal.SIGTERM)
        server.wait()
    assert code == 0, (code, err)
    fetched, downloads = transfers(log, show)
    return seconds, peak, fetched, downloads


def updater_figures(args, r1, r2, work):
    if not args.updater:
        return ["  updater: not measured (give --updater PATH --port N, or --updater build)"]
    port = args.port
    updater = args.updater
    if updater == "build":
        port = install_bench.free_port()
        updater = install_bench.build_updater(port)
    lines = []
    for title, mode, fresh in (("full install, empty folder (MajAll)", "MajAll", True),
                               ("partial update from the first (MajLocal)", "MajLocal", False),
                               ("full install over the first (MajAll)", "MajAll", False)):
        runs = [update_once(updater, port, work, r1, r2, mode, fresh, args.fetches and i == 0)
                for i in range(args.rounds)]
        lines.append("  %-44s %8.3f s  %7.1f MiB peak  %12d bytes in %d downloads" % (
            title, statistics.median(r[0] for r in runs), statistics.median(r[1] for r in runs) / 1024,
            runs[0][2], runs[0][3]))
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--package", default="libnode108")
    parser.add_argument("--old")
    parser.add_argument("--new")
    parser.add_argument("--updater", help='an updater built for 127.0.0.1 and --port, or "build"')
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--fetches", action="store_true", help="list what each kind of run fetched")
    parser.add_argument("--publish", help="brindax-publish to use (default: build this tree's)")
    args = parser.parse_args()
    if args.updater and args.updater != "build" and not args.port:
        parser.error("--updater PATH needs --port")

    old, new = (args.old, args.new) if args.old and args.new else versions_of(args.package)
    publish = args.publish or os.path.join(TOP, "build", "bench", "bin", "brindax-publish")
    if not args.publish:
        run(["cmake", "-S", TOP, "-B", os.path.dirname(os.path.dirname(publish)), "-G", "Ninja",
             "-DCMAKE_BUILD_TYPE=Release", "-DBRINDAX_BUILD_TESTS=OFF"], stdout=subprocess.DEVNULL)
        run(["cmake", "--build", os.path.dirname(os.path.dirname(publish)), "--target", "brindax-publish"],
            stdout=subprocess.DEVNULL)
    _, secret = install_bench.bench_key()
    os.makedirs(WORK, exist_ok=True)
    work = tempfile.mkdtemp(prefix="run-", dir=WORK)
    try:
        (src1, skipped1), (src2, skipped2) = unpacked(args.package, old), unpacked(args.package, new)
        r1, r2 = os.path.join(work, "r1"), os.path.join(work, "r2")
        run([publish, "make", src1, r1, "--sign", secret], stdout=subprocess.DEVNULL)
        seconds, peak, code, err = install_bench.measure(
            [publish, "make", src2, r2, "--previous", r1, "--sign", secret], work)
        assert code == 0, err

        m1, m2 = manifest_of(r1), manifest_of(r2)
        changed = [(name, name not in m1) for name, f in m2.items()
                   if name not in m1 or m1[name]["digest"] != f["digest"]]
        package = os.path.getsize(os.path.join(r2, "Brindax.zip"))
        ranges = sum(m2[n]["compressed"] + 30 + len(n.encode()) for n, _ in changed)
        beside = sum(os.path.getsize(os.path.join(r2, f)) for f in (MANIFEST, MANIFEST + ".minisig", LIST + ".minisig"))
        ways = {}
        for name, is_new in changed:
            kind, size = way_of(m2[name], "-" if is_new else m1[name]["digest"])
            count, total = ways.get(kind, (0, 0))
            ways[kind] = (count + 1, total + size)
        pieces = sum(total for _, total in ways.values())
        zstd19, bsdiff = tool_sizes(src1, src2, changed, work)

        print("%s %s -> %s: %d files (%d and %d links or odd names left out), %d changed, %d new, "
              "%.1f MiB unpacked" % (args.package, old, new, len(m2), skipped1, skipped2,
                                     sum(1 for _, n in changed if not n), sum(1 for _, n in changed if n),
                                     sum(f["size"] for f in m2.values()) / MIB))
        rows = [("whole package", package),
                ("changed entries by range", ranges),
                ("manifest + signatures + pieces", beside + pieces),
                ("  of which manifest and signatures", beside)] + [
                ("  of which %d by %s" % (count, kind), total) for kind, (count, total) in sorted(ways.items())] + [

                ("zstd -19 --long --patch-from per file", zstd19),
                ("bsdiff per file", bsdiff)]
        for title, size in rows:
            print("  %-44s %12d bytes  %6.2f %% of the package" % (title, size, 100.0 * size / package))
        print("  goal (manifest, signatures and pieces <= bsdiff): %s (%.3f of bsdiff)" % (
            "met" if beside + pieces <= bsdiff else "NOT met", (beside + pieces) / bsdiff))
        print("  brindax-publish make with deltas: %.1f s, %.1f MiB peak" % (seconds, peak / 1024))
        for line in updater_figures(args, r1, r2, work):
            print(line)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
