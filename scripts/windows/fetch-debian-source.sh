#!/usr/bin/env bash
# Fetches and unpacks Debian's source package of an installed -dev package,
# the same version as installed, into a cache folder, and prints the path
# of the unpacked source tree on standard output.
#
#   scripts/windows/fetch-debian-source.sh <installed binary package> <cache dir> [source version]
#
# A source version given fetches that version of the same source package
# instead (for a build script whose installed version's source the archive
# no longer serves).
#
# The source is fetched with apt-get through a private apt configuration
# made at run time from the machine's own source entries (turned into
# deb-src); the system's apt configuration and state are left unchanged.
# A source tree already in the cache is reused.
set -euo pipefail

[ $# -eq 2 ] || [ $# -eq 3 ] || { echo "usage: $0 <binary package> <cache dir> [source version]" >&2; exit 2; }
binary=$1
source_cache=$2
wanted_version=${3:-}

log() { echo "fetch-debian-source: $*" >&2; }
die() { echo "fetch-debian-source: ERROR: $*" >&2; exit 1; }

meta=$(dpkg-query -W -f='${source:Package} ${source:Version}\n' "$binary" 2>/dev/null || true)
[ -n "$meta" ] || die "$binary is not installed; install it first (apt-get install $binary)"
read -r src_pkg src_ver <<<"$meta"
[ -z "$wanted_version" ] || src_ver=$wanted_version
command -v dpkg-source >/dev/null || die "dpkg-source missing (apt-get install dpkg-dev)"

mkdir -p "$source_cache"
source_cache=$(cd "$source_cache" && pwd)
src_dir="$source_cache/${src_pkg}-${src_ver}"
exec 9>"$source_cache/.${src_pkg}.lock"
flock 9

if [ -f "$src_dir/.brindax-unpacked" ] || [ -f "$src_dir/CMakeLists.txt" ]; then
  log "using cached source $src_dir"
  echo "$src_dir"
  exit 0
fi

work=$(mktemp -d "$source_cache/.fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT
# _apt downloads into the partial directories when it can reach them.
chmod 755 "$work"
mkdir -p "$work/etc/sources.list.d" "$work/state/lists/partial" \
         "$work/cache/archives/partial" "$work/download"
: >"$work/etc/sources.list"
if id _apt >/dev/null 2>&1; then
  chown -R _apt "$work/state/lists/partial" "$work/cache/archives/partial" "$work/download" 2>/dev/null || true
fi

# One-line format: "deb [options] uri suite components" -> "deb-src ...".
n=0
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
  die "no apt source entries found in /etc/apt"
fi

apt_opts=(
  -o "Dir::State=$work/state"
  -o "Dir::State::status=/var/lib/dpkg/status"
  -o "Dir::Cache=$work/cache"
  -o "Dir::Etc::SourceList=$work/etc/sources.list"
  -o "Dir::Etc::SourceParts=$work/etc/sources.list.d"
  -o "APT::Get::List-Cleanup=false"
)
log "fetching source package $src_pkg $src_ver with a private apt configuration"
apt-get "${apt_opts[@]}" -q update >"$work/update.log" 2>&1 || {
  cat "$work/update.log" >&2; die "apt-get update (private source list) failed"; }
(cd "$work/download" && apt-get "${apt_opts[@]}" -q source --download-only "$src_pkg=$src_ver") \
  >"$work/source.log" 2>&1 || { cat "$work/source.log" >&2; die "apt-get source $src_pkg=$src_ver failed"; }
dsc=$(ls "$work/download/"*.dsc 2>/dev/null | head -n 1)
[ -n "$dsc" ] || die "no .dsc downloaded"
(cd "$work/download" && dpkg-source -q -x "$(basename "$dsc")" unpacked) >"$work/unpack.log" 2>&1 || {
  cat "$work/unpack.log" >&2; die "dpkg-source -x failed"; }
rm -rf "$src_dir"
mv "$work/download/unpacked" "$src_dir"
touch "$src_dir/.brindax-unpacked"
echo "$src_dir"
