#!/usr/bin/env bash
# Builds libdivsufsort (the suffix arrays of brindax-publish's difference
# deltas) for a Windows cross build from Debian's own source package, the
# same version as the installed Linux libdivsufsort-dev, and installs it as a
# static library into a prefix inside the build tree. Only the publisher
# links it; the updater applies difference deltas with code of its own.
#
#   scripts/windows/build-libdivsufsort.sh <i686|x86_64> <prefix>
#
# Environment:
#   BRINDAX_SOURCE_CACHE  where downloaded sources are kept
#                         (default: <repo>/build/_deps/sources)
#   BRINDAX_JOBS          parallel build jobs (default 2)
#
# The source is fetched by fetch-debian-source.sh and built with its own
# CMake project out of the source tree: the 32-bit-index library alone,
# static, without OpenMP or the examples. Nothing is done when the prefix
# already holds this version.
set -euo pipefail

usage() { echo "usage: $0 <i686|x86_64> <prefix>" >&2; exit 2; }
[ $# -eq 2 ] || usage
arch=$1
prefix=$2
case "$arch" in i686|x86_64) ;; *) usage ;; esac

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
toolchain="$root/cmake/toolchains/mingw-$arch.cmake"
jobs=${BRINDAX_JOBS:-2}
mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)
source_cache=${BRINDAX_SOURCE_CACHE:-$root/build/_deps/sources}

log() { echo "build-libdivsufsort: $*" >&2; }
die() { echo "build-libdivsufsort: ERROR: $*" >&2; exit 1; }

meta=$(dpkg-query -W -f='${source:Package} ${source:Version} ${Version}\n' libdivsufsort-dev 2>/dev/null || true)
[ -n "$meta" ] || die "libdivsufsort-dev is not installed; install it first (apt-get install libdivsufsort-dev)"
read -r src_pkg src_ver bin_ver <<<"$meta"
stamp="$prefix/.brindax-libdivsufsort-version"
library="$prefix/lib/libdivsufsort.a"

if [ -f "$library" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$src_pkg $src_ver $arch" ]; then
  log "libdivsufsort $src_ver for $arch already in $prefix"
  exit 0
fi

command -v "$arch-w64-mingw32-gcc-posix" >/dev/null || die "$arch-w64-mingw32-gcc-posix missing (apt-get install mingw-w64)"
src_dir=$("$here/fetch-debian-source.sh" libdivsufsort-dev "$source_cache") || die "no libdivsufsort source"
[ -f "$src_dir/CMakeLists.txt" ] || die "no CMakeLists.txt in $src_dir"

build_dir="$prefix.build"
rm -rf "$build_dir"
log "building libdivsufsort $src_ver for $arch-w64-mingw32 into $prefix"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$src_dir" -B "$build_dir" "${generator[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DBUILD_SHARED_LIBS=OFF -DBUILD_DIVSUFSORT64=OFF -DUSE_OPENMP=OFF -DBUILD_EXAMPLES=OFF \
  -DCMAKE_POLICY_VERSION_MINIMUM=3.5 \
  -Wno-dev >"$build_dir.log" 2>&1 || { cat "$build_dir.log" >&2; die "libdivsufsort configure failed"; }
cmake --build "$build_dir" -j "$jobs" >>"$build_dir.log" 2>&1 || { tail -n 60 "$build_dir.log" >&2; die "libdivsufsort build failed"; }
cmake --install "$build_dir" >>"$build_dir.log" 2>&1 || { tail -n 30 "$build_dir.log" >&2; die "libdivsufsort install failed"; }
[ -f "$library" ] || die "libdivsufsort installed no static library ($library)"
[ -f "$prefix/include/divsufsort.h" ] || die "libdivsufsort installed no divsufsort.h"
echo "$src_pkg $src_ver $arch" >"$stamp"
rm -rf "$build_dir" "$build_dir.log"
log "libdivsufsort $src_ver (Linux libdivsufsort-dev $bin_ver) installed for $arch in $prefix"
