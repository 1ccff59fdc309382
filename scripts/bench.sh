#!/usr/bin/env bash
# Measures MD5 throughput: our md5_update against OpenSSL's on one in-memory
# buffer, and md5_file_hex against the md5sum program on a file in the page
# cache. Reports medians and ratios only, as the machine is shared and noisy.
#
# Usage: scripts/bench.sh [BUILD_TYPE] [MiB] [RUNS]
#   BUILD_TYPE  RelWithDebInfo (default) or Release. RelWithDebInfo (-O2 -g)
#               is how the product is built, so its numbers are the ones the
#               client gets; Release (-O3) shows what more optimization gives.
#   MiB         buffer and file size, default 256
#   RUNS        runs of each contender, default 7
# Needs cmake, make, gcc, g++, OpenSSL's development files and md5sum; installs
# missing ones with apt-get when run as root, otherwise names them. Builds in
# build-bench and uses 2 x MiB of memory and MiB of space under $TMPDIR (or
# /tmp), which it removes at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

build_type=${1:-RelWithDebInfo}
mib=${2:-256}
runs=${3:-7}

missing=()
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v make >/dev/null 2>&1 || missing+=(make)
command -v gcc >/dev/null 2>&1 || missing+=(gcc)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
{ have_header openssl/evp.h && have_library libcrypto; } || missing+=(libssl-dev)
command -v md5sum >/dev/null 2>&1 || missing+=(coreutils)
[ ${#missing[@]} = 0 ] || install_packages "${missing[@]}"

# The tests are not needed here, nor GoogleTest; only the benchmark target is
# built, so work in progress elsewhere in the tree does not get in the way.
cmake -S . -B build-bench -DORVA_BUILD_BENCH=ON -DORVA_BUILD_TESTS=OFF \
    -DCMAKE_BUILD_TYPE="$build_type" >/dev/null
cmake --build build-bench --target md5_bench -j "$(nproc 2>/dev/null || echo 2)" >/dev/null

say "build type $build_type"
build-bench/bench/md5_bench "$mib" "$runs"
