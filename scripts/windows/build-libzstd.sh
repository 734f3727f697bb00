#!/usr/bin/env bash
# Builds libzstd for a Windows cross build from Debian's own source package,
# the same version as the installed Linux libzstd-dev, and installs it as a
# static library into a prefix inside the build tree.
#
#   scripts/windows/build-libzstd.sh <i686|x86_64> <prefix>
#
# Environment:
#   BRINDAX_SOURCE_CACHE  where downloaded sources are kept
#                         (default: <repo>/build/_deps/sources)
#   BRINDAX_JOBS          parallel build jobs (default 2)
#
# The source is fetched by fetch-debian-source.sh and built with its own
# CMake project (build/cmake) out of the source tree, so both targets share
# one cached source: the library alone, single-threaded (the updater runs
# one frame per worker itself), without the legacy formats. Nothing is done
# when the prefix already holds this version.
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

log() { echo "build-libzstd: $*" >&2; }
die() { echo "build-libzstd: ERROR: $*" >&2; exit 1; }

meta=$(dpkg-query -W -f='${source:Package} ${source:Version} ${Version}\n' libzstd-dev 2>/dev/null || true)
[ -n "$meta" ] || die "libzstd-dev is not installed; install it first (apt-get install libzstd-dev)"
read -r src_pkg src_ver bin_ver <<<"$meta"
installed_ver=$src_ver  # the stamp names the installed version the build stands for
stamp="$prefix/.brindax-libzstd-version"
library="$prefix/lib/libzstd.a"

if [ -f "$library" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$src_pkg $installed_ver $arch" ]; then
  log "libzstd $src_ver for $arch already in $prefix"
  exit 0
fi

command -v "$arch-w64-mingw32-gcc-posix" >/dev/null || die "$arch-w64-mingw32-gcc-posix missing (apt-get install mingw-w64)"

# The installed version's source first; when the archive no longer serves
# it (a security update's source pool may be out of reach), the other
# versions the package lists have, newest first.
src_dir=""
for version in "$src_ver" $(apt-cache madison libzstd-dev 2>/dev/null | awk '{print $3}'); do
  if src_dir=$("$here/fetch-debian-source.sh" libzstd-dev "$source_cache" "$version"); then
    [ "$version" = "$src_ver" ] || log "the source of $src_ver is not served; building $version"
    src_ver=$version
    break
  fi
  src_dir=""
done
[ -n "$src_dir" ] || die "no libzstd source"
[ -f "$src_dir/build/cmake/CMakeLists.txt" ] || die "no build/cmake/CMakeLists.txt in $src_dir"

build_dir="$prefix.build"
rm -rf "$build_dir"
log "building libzstd $src_ver for $arch-w64-mingw32 into $prefix"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$src_dir/build/cmake" -B "$build_dir" "${generator[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DZSTD_BUILD_STATIC=ON -DZSTD_BUILD_SHARED=OFF \
  -DZSTD_BUILD_PROGRAMS=OFF -DZSTD_BUILD_TESTS=OFF -DZSTD_BUILD_CONTRIB=OFF \
  -DZSTD_MULTITHREAD_SUPPORT=OFF -DZSTD_LEGACY_SUPPORT=OFF \
  -Wno-dev >"$build_dir.log" 2>&1 || { cat "$build_dir.log" >&2; die "libzstd configure failed"; }
cmake --build "$build_dir" -j "$jobs" >>"$build_dir.log" 2>&1 || { tail -n 60 "$build_dir.log" >&2; die "libzstd build failed"; }
cmake --install "$build_dir" >>"$build_dir.log" 2>&1 || { tail -n 30 "$build_dir.log" >&2; die "libzstd install failed"; }
[ -f "$library" ] || die "libzstd installed no static library ($library)"
[ -f "$prefix/include/zstd.h" ] || die "libzstd installed no zstd.h"
echo "$src_pkg $installed_ver $arch" >"$stamp"
rm -rf "$build_dir" "$build_dir.log"
log "libzstd $src_ver (Linux libzstd-dev $bin_ver) installed for $arch in $prefix"
