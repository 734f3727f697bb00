#!/usr/bin/python3
"""Speed and memory of brindax-publish on the install benchmark's release.

Makes the release of bench/install_bench.py (about 200 MiB in 300 files, a
third of it incompressible), then alternates `brindax-publish make` with
`zip -q -r` of the same folder at the same compression level (6, the default
of both) over several rounds and reports the median time ratio and the
tool's peak memory. Run: bench/publish_bench.py [--rounds N] [--size MIB]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MIB = 1024 * 1024

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import install_bench  # noqa: E402  (the release generator)


def build_tool():
    build = os.path.join(TOP, "build", "bench")
    subprocess.run(["cmake", "-S", TOP, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DBRINDAX_BUILD_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "--target", "brindax-publish"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(build, "bin", "brindax-publish")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--size", type=int, default=200, help="release size in MiB")
    args = parser.parse_args()

    tool = build_tool()
    work = tempfile.mkdtemp(prefix="brindax-publish-bench-")
    try:
        release = os.path.join(work, "release")
        os.makedirs(release)
        print("making the release ...", flush=True)
        install_bench.make_release(release, total_bytes=args.size * MIB)
        out = os.path.join(work, "out")
        zipped = os.path.join(work, "zip", "Brindax.zip")
        os.makedirs(os.path.dirname(zipped))
        ratios, peaks = [], []
        print("brindax-publish make vs zip -q -r -6 (%d MiB, %d rounds)" % (args.size, args.rounds))
        for r in range(args.rounds):
            shutil.rmtree(out, ignore_errors=True)
            t_tool, peak, code, err = install_bench.measure([tool, "make", release, out], work)
            assert code == 0, (code, err)
            if os.path.exists(zipped):
                os.remove(zipped)
            t_zip, _, code, err = install_bench.measure(["zip", "-q", "-r", "-6", zipped, "."], release)
            assert code == 0, (code, err)
            ratios.append(t_tool / t_zip)
            peaks.append(peak)
            print("  round %d: brindax-publish %.2f s (peak %.1f MiB, package %.1f MiB), zip %.2f s "
                  "(%.1f MiB), ratio %.2f" %
                  (r + 1, t_tool, peak / 1024, os.path.getsize(os.path.join(out, "Brindax.zip")) / MIB,
                   t_zip, os.path.getsize(zipped) / MIB, t_tool / t_zip))
        print("\nsummary")
        print("  make: median ratio %.2f (goal <= 1.0), peak memory max %.1f MiB" %
              (statistics.median(ratios), max(peaks) / 1024))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
