#!/usr/bin/env bash
# Builds libsodium for a Windows cross build from Debian's own source
# package, the same version as the installed Linux libsodium-dev, and
# installs it as a static library into a prefix inside the build tree.
#
#   scripts/windows/build-libsodium.sh <i686|x86_64> <prefix>
#
# Environment:
#   BRINDAX_SOURCE_CACHE  where downloaded sources are kept
#                         (default: <repo>/build/_deps/sources)
#   BRINDAX_JOBS          parallel build jobs (default 2)
#
# The source is fetched by fetch-debian-source.sh; its configure script is
# generated with autoreconf (autoconf, automake, libtool). The library is built out
# of the source tree (so both targets share one cached source), without
# stack-protector code, which would need mingw's libssp. Nothing is done when
# the prefix already holds this version.
set -euo pipefail

usage() { echo "usage: $0 <i686|x86_64> <prefix>" >&2; exit 2; }
[ $# -eq 2 ] || usage
arch=$1
prefix=$2
case "$arch" in i686|x86_64) ;; *) usage ;; esac

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
jobs=${BRINDAX_JOBS:-2}
mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)
source_cache=${BRINDAX_SOURCE_CACHE:-$root/build/_deps/sources}

log() { echo "build-libsodium: $*" >&2; }
die() { echo "build-libsodium: ERROR: $*" >&2; exit 1; }

meta=$(dpkg-query -W -f='${source:Package} ${source:Version} ${Version}\n' libsodium-dev 2>/dev/null || true)
[ -n "$meta" ] || die "libsodium-dev is not installed; install it first (apt-get install libsodium-dev)"
read -r src_pkg src_ver bin_ver <<<"$meta"
stamp="$prefix/.brindax-libsodium-version"
library="$prefix/lib/libsodium.a"

if [ -f "$library" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$src_pkg $src_ver $arch" ]; then
  log "libsodium $src_ver for $arch already in $prefix"
  exit 0
fi

host="$arch-w64-mingw32"
command -v "$host-gcc-posix" >/dev/null || die "$host-gcc-posix missing (apt-get install mingw-w64)"
command -v make >/dev/null || die "make missing (apt-get install make)"

src_dir=$("$here/fetch-debian-source.sh" libsodium-dev "$source_cache") || die "no libsodium source"
# Debian's source carries no generated configure script: make it once, as
# the package build does.
if [ ! -x "$src_dir/configure" ]; then
  command -v autoreconf >/dev/null && command -v libtoolize >/dev/null ||
    die "autoreconf or libtoolize missing (apt-get install autoconf automake libtool)"
  log "generating the configure script in $src_dir"
  (exec 9>"$src_dir/.autoreconf.lock"; flock 9
   [ -x "$src_dir/configure" ] || (cd "$src_dir" && autoreconf -fi)) >"$prefix.autoreconf.log" 2>&1 || {
    cat "$prefix.autoreconf.log" >&2; die "autoreconf failed"; }
  rm -f "$prefix.autoreconf.log"
fi

build_dir="$prefix.build"
rm -rf "$build_dir"
mkdir -p "$build_dir"
log "building libsodium $src_ver for $host into $prefix"
(
  cd "$build_dir"
  CC="$host-gcc-posix" AR="$host-ar" RANLIB="$host-ranlib" CFLAGS="-O2" \
    "$src_dir/configure" --host="$host" --prefix="$prefix" \
      --disable-shared --enable-static --disable-ssp --disable-dependency-tracking
) >"$build_dir.log" 2>&1 || { tail -n 60 "$build_dir.log" >&2; die "libsodium configure failed"; }
make -C "$build_dir" -j "$jobs" >>"$build_dir.log" 2>&1 || { tail -n 60 "$build_dir.log" >&2; die "libsodium build failed"; }
make -C "$build_dir" install >>"$build_dir.log" 2>&1 || { tail -n 30 "$build_dir.log" >&2; die "libsodium install failed"; }
[ -f "$library" ] || die "libsodium installed no static library"
[ -f "$prefix/include/sodium.h" ] || die "libsodium installed no sodium.h"
echo "$src_pkg $src_ver $arch" >"$stamp"
rm -rf "$build_dir" "$build_dir.log"
log "libsodium $src_ver (Linux libsodium-dev $bin_ver) installed for $arch in $prefix"
