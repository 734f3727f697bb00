#!/usr/bin/env bash
# Builds libsodium for a Windows cross build from Debian's own source
# package, the same version as the installed Linux libsodium-dev, and
# installs it as a static library into a prefix inside the build tree.
#
#   scripts/windows/build-libsodium.sh <i686|x86_64> <prefix>
#
# The source is fetched by fetch-debian-source.sh; its configure script is
# generated with autoreconf (autoconf, automake, libtool). The library is
# built out of the source tree (so both targets share one cached source),
# without stack-protector code, which would need mingw's libssp. Environment
# and the steps shared with the other libraries: library-build.sh. Nothing
# is done when the prefix already holds this version.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/library-build.sh"
library_setup libsodium libsodium-dev "$@"
library_exit_if_current "$prefix/lib/libsodium.a"
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
library_finish "$prefix/lib/libsodium.a" "$prefix/include/sodium.h"
