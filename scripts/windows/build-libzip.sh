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
# The source is fetched with apt-get through a private apt configuration
# made at run time from the machine's own source entries (turned into
# deb-src); the system's apt configuration and state are left unchanged.
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
command -v dpkg-source >/dev/null || die "dpkg-source missing (apt-get install dpkg-dev)"

# --- fetch the source (cached) ---------------------------------------------
mkdir -p "$source_cache"
src_dir="$source_cache/${src_pkg}-${src_ver}"
exec 9>"$source_cache/.${src_pkg}.lock"
flock 9

fetch_source() {
  local work
  work=$(mktemp -d "$source_cache/.fetch.XXXXXX")
  # _apt downloads into the partial directories when it can reach them.
  chmod 755 "$work"
  mkdir -p "$work/etc/sources.list.d" "$work/state/lists/partial" \
           "$work/cache/archives/partial" "$work/download"
  : >"$work/etc/sources.list"
  if id _apt >/dev/null 2>&1; then
    chown -R _apt "$work/state/lists/partial" "$work/cache/archives/partial" "$work/download" 2>/dev/null || true
  fi

  # One-line format: "deb [options] uri suite components" -> "deb-src ...".
  local f n=0
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    sed -n -E 's/^[[:space:]]*deb([[:space:]]+)/deb-src\1/p' "$f" >>"$work/etc/sources.list"
  done
  # deb822 format: a stanza of type deb becomes one of type deb-src.
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    n=$((n + 1))
    awk '
      /^[Tt]ypes:/ {
        has_deb = 0
        for (i = 2; i <= NF; i++) if ($i == "deb") has_deb = 1
        if (has_deb) print "Types: deb-src"; else print "Types: none"
        next
      }
      { print }
    ' "$f" | awk '
      # drop stanzas that did not carry a binary type
      BEGIN { RS = ""; ORS = "\n\n" }
      !/Types: none/ { print }
    ' >"$work/etc/sources.list.d/$(printf '%02d' "$n")-$(basename "$f")"
  done
  if ! grep -qs -E '^(deb-src|Types: deb-src)' "$work/etc/sources.list" "$work/etc/sources.list.d/"*; then
    rm -rf "$work"
    die "no apt source entries found in /etc/apt"
  fi

  local -a apt_opts=(
    -o "Dir::State=$work/state"
    -o "Dir::State::status=/var/lib/dpkg/status"
    -o "Dir::Cache=$work/cache"
    -o "Dir::Etc::SourceList=$work/etc/sources.list"
    -o "Dir::Etc::SourceParts=$work/etc/sources.list.d"
    -o "APT::Get::List-Cleanup=false"
  )
  log "fetching source package $src_pkg $src_ver with a private apt configuration"
  if ! apt-get "${apt_opts[@]}" -q update >"$work/update.log" 2>&1; then
    cat "$work/update.log" >&2
    rm -rf "$work"
    die "apt-get update (private source list) failed"
  fi
  if ! (cd "$work/download" && apt-get "${apt_opts[@]}" -q source --download-only "$src_pkg=$src_ver") >"$work/source.log" 2>&1; then
    cat "$work/source.log" >&2
    rm -rf "$work"
    die "apt-get source $src_pkg=$src_ver failed"
  fi
  local dsc
  dsc=$(ls "$work/download/"*.dsc 2>/dev/null | head -n 1)
  [ -n "$dsc" ] || { rm -rf "$work"; die "no .dsc downloaded"; }
  (cd "$work/download" && dpkg-source -q -x "$(basename "$dsc")" unpacked) >"$work/unpack.log" 2>&1 || {
    cat "$work/unpack.log" >&2; rm -rf "$work"; die "dpkg-source -x failed"; }
  rm -rf "$src_dir"
  mv "$work/download/unpacked" "$src_dir"
  rm -rf "$work"
}

if [ ! -f "$src_dir/CMakeLists.txt" ]; then
  fetch_source
else
  log "using cached source $src_dir"
fi
exec 9>&-

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
