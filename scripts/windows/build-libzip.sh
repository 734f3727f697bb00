#!/usr/bin/env bash
# Builds libzip for a Windows cross build from Debian's own source package,
# the same version as the installed Linux libzip-dev, and installs it as a
# static library into a prefix inside the build tree.
#
#   scripts/windows/build-libzip.sh <i686|x86_64> <prefix>
#
# Environment:
#   BRINDAX_SOURCE_CACHE  where downloaded sources are kept
#                         (default: <repo>/build/_deps/sources)
#   BRINDAX_JOBS          parallel build jobs (default 2)
#
# The source is fetched by fetch-debian-source.sh (apt-get with a private
# configuration made from the machine's own source entries).
# Nothing is done when the prefix already holds this version.
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

log() { echo "build-libzip: $*" >&2; }
die() { echo "build-libzip: ERROR: $*" >&2; exit 1; }

# --- which version ----------------------------------------------------------
meta=$(dpkg-query -W -f='${source:Package} ${source:Version} ${Version}\n' libzip-dev 2>/dev/null || true)
[ -n "$meta" ] || die "libzip-dev is not installed; install it first (apt-get install libzip-dev)"
read -r src_pkg src_ver bin_ver <<<"$meta"
upstream_ver=${src_ver#*:}
upstream_ver=${upstream_ver%-*}
stamp="$prefix/.brindax-libzip-version"
config="$prefix/lib/cmake/libzip/libzip-config.cmake"

if [ -f "$config" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$src_pkg $src_ver $arch" ]; then
  log "libzip $src_ver for $arch already in $prefix"
  exit 0
fi

command -v "$arch-w64-mingw32-gcc-posix" >/dev/null || die "$arch-w64-mingw32-gcc-posix missing (apt-get install mingw-w64)"
[ -f "/usr/$arch-w64-mingw32/lib/libz.a" ] || die "libz.a for $arch missing (apt-get install libz-mingw-w64-dev)"

# --- fetch the source (cached) ---------------------------------------------
src_dir=$("$here/fetch-debian-source.sh" libzip-dev "$source_cache") || die "no libzip source"

# --- build and install -------------------------------------------------------
build_dir="$prefix.build"
rm -rf "$build_dir"
log "building libzip $upstream_ver for $arch-w64-mingw32 into $prefix"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$src_dir" -B "$build_dir" "${generator[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DCMAKE_POLICY_DEFAULT_CMP0074=NEW \
  -DBUILD_SHARED_LIBS=OFF \
  -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF \
  -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF \
  -DENABLE_OPENSSL=OFF -DENABLE_GNUTLS=OFF -DENABLE_MBEDTLS=OFF \
  -DENABLE_COMMONCRYPTO=OFF -DENABLE_WINDOWS_CRYPTO=OFF \
  -Wno-dev >"$build_dir.log" 2>&1 || { cat "$build_dir.log" >&2; die "libzip configure failed"; }
cmake --build "$build_dir" -j "$jobs" >>"$build_dir.log" 2>&1 || { tail -n 60 "$build_dir.log" >&2; die "libzip build failed"; }
cmake --install "$build_dir" >>"$build_dir.log" 2>&1 || { tail -n 30 "$build_dir.log" >&2; die "libzip install failed"; }
[ -f "$config" ] || die "libzip installed no CMake config ($config)"
[ -f "$prefix/lib/libzip.a" ] || die "libzip installed no static library"
echo "$src_pkg $src_ver $arch" >"$stamp"
rm -rf "$build_dir" "$build_dir.log"
log "libzip $src_ver (Linux libzip-dev $bin_ver) installed for $arch in $prefix"
