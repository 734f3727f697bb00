# Shared by the build-lib*.sh scripts, which build a library for a Windows
# cross build from Debian's own source package (the same version as the
# installed Linux -dev package) and install it as a static library into a
# prefix inside the build tree. Sourced, not run:
#
#   . "$(dirname "${BASH_SOURCE[0]}")/library-build.sh"
#   library_setup <name> <Linux -dev package> "$@"   # "$@": <i686|x86_64> <prefix>
#
# Environment:
#   BRINDAX_SOURCE_CACHE  where downloaded sources are kept
#                         (default: <repo>/build/_deps/sources)
#   BRINDAX_JOBS          parallel build jobs (default 2)
#
# library_setup sets: arch, host, prefix, here, root, toolchain, jobs,
# source_cache, the installed source's src_pkg, src_ver and bin_ver, stamp
# (the file naming the version the prefix holds) and build_dir; and gives
# log and die.

library_setup() {
  library_name=$1
  library_package=$2
  shift 2
  [ $# -eq 2 ] || { echo "usage: build-$library_name.sh <i686|x86_64> <prefix>" >&2; exit 2; }
  arch=$1
  prefix=$2
  case "$arch" in i686|x86_64) ;; *) echo "usage: build-$library_name.sh <i686|x86_64> <prefix>" >&2; exit 2 ;; esac
  host="$arch-w64-mingw32"
  here=$(cd "$(dirname "${BASH_SOURCE[1]}")" && pwd)
  root=$(cd "$here/../.." && pwd)
  toolchain="$root/cmake/toolchains/mingw-$arch.cmake"
  jobs=${BRINDAX_JOBS:-2}
  mkdir -p "$prefix"
  prefix=$(cd "$prefix" && pwd)
  source_cache=${BRINDAX_SOURCE_CACHE:-$root/build/_deps/sources}
  stamp="$prefix/.brindax-$library_name-version"
  build_dir="$prefix.build"

  local meta
  meta=$(dpkg-query -W -f='${source:Package} ${source:Version} ${Version}\n' "$library_package" 2>/dev/null || true)
  [ -n "$meta" ] || die "$library_package is not installed; install it first (apt-get install $library_package)"
  read -r src_pkg src_ver bin_ver <<<"$meta"
  stamp_text="$src_pkg $src_ver $arch"  # names the installed version the build stands for
}

log() { echo "build-$library_name: $*" >&2; }
die() { echo "build-$library_name: ERROR: $*" >&2; exit 1; }

# Ends the script when the prefix already holds `$1` (a file the install
# leaves) of this version.
library_exit_if_current() {
  if [ -f "$1" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$stamp_text" ]; then
    log "$library_name $src_ver for $arch already in $prefix"
    exit 0
  fi
  command -v "$host-gcc-posix" >/dev/null || die "$host-gcc-posix missing (apt-get install mingw-w64)"
}

# Configures the CMake project in `$1` out of the source tree with the
# Windows toolchain and the options that follow, then builds and installs
# it into the prefix.
library_cmake_build() {
  local source=$1
  shift
  local generator=()
  command -v ninja >/dev/null && generator=(-G Ninja)
  rm -rf "$build_dir"
  log "building $library_name $src_ver for $host into $prefix"
  cmake -S "$source" -B "$build_dir" "${generator[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    "$@" -Wno-dev >"$build_dir.log" 2>&1 || { cat "$build_dir.log" >&2; die "$library_name configure failed"; }
  cmake --build "$build_dir" -j "$jobs" >>"$build_dir.log" 2>&1 ||
    { tail -n 60 "$build_dir.log" >&2; die "$library_name build failed"; }
  cmake --install "$build_dir" >>"$build_dir.log" 2>&1 ||
    { tail -n 30 "$build_dir.log" >&2; die "$library_name install failed"; }
}

# Checks that each file given was installed, then stamps the prefix with
# this version and removes the build folder.
library_finish() {
  local file
  for file in "$@"; do
    [ -f "$file" ] || die "$library_name installed no ${file#"$prefix"/}"
  done
  echo "$stamp_text" >"$stamp"
  rm -rf "$build_dir" "$build_dir.log"
  log "$library_name $src_ver (Linux $library_package $bin_ver) installed for $arch in $prefix"
}
