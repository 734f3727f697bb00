#!/usr/bin/env bash
# Builds libdivsufsort (the suffix arrays of brindax-publish's difference
# deltas) for a Windows cross build from Debian's own source package, the
# same version as the installed Linux libdivsufsort-dev, and installs it as a
# static library into a prefix inside the build tree. Only the publisher
# links it; the updater applies difference deltas with code of its own.
#
#   scripts/windows/build-libdivsufsort.sh <i686|x86_64> <prefix>
#
# The source is fetched by fetch-debian-source.sh and built with its own
# CMake project out of the source tree: the 32-bit-index library alone,
# static, without OpenMP or the examples. Environment and the steps shared
# with the other libraries: library-build.sh. Nothing is done when the
# prefix already holds this version.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/library-build.sh"
library_setup libdivsufsort libdivsufsort-dev "$@"
library_exit_if_current "$prefix/lib/libdivsufsort.a"

src_dir=$("$here/fetch-debian-source.sh" libdivsufsort-dev "$source_cache") || die "no libdivsufsort source"
[ -f "$src_dir/CMakeLists.txt" ] || die "no CMakeLists.txt in $src_dir"
library_cmake_build "$src_dir" \
  -DBUILD_SHARED_LIBS=OFF -DBUILD_DIVSUFSORT64=OFF -DUSE_OPENMP=OFF -DBUILD_EXAMPLES=OFF \
  -DCMAKE_POLICY_VERSION_MINIMUM=3.5
library_finish "$prefix/lib/libdivsufsort.a" "$prefix/include/divsufsort.h"
