#!/usr/bin/env bash
# Every benchmark of the project, each printing medians, the ratio against
# its reference and the target beside it:
#   1. MD5: md5_update against OpenSSL on one in-memory buffer, and
#      md5_file_hex against md5sum on a file in the page cache;
#   2. orvaclient against the floor client (bench/floor_client.c, the same
#      protocol work done plainly in C), whole processes against the stand-in
#      server: one file per run, a batch of small files, cured copies of
#      256 MiB and 16 MiB, a 256 MiB file uploaded over TCP (also against the
#      in-memory MD5 throughput), and peak resident memory;
#   3. orvaclient against itself: -j 1 and -j 4 beside the batch without -j,
#      and -j 8 against -j 1 when the server takes 2 ms per scan, their
#      outputs compared byte for byte; the first result of -j 16 against a
#      server that greets each connection after 1 s (target 1.5 s); and -j 8
#      over a list of four stand-ins that serve 2 connections each and take
#      2 ms per scan against -j 8 over one of them (target 3.5x the files per
#      second, identical output);
#   4. the mail filter in a real Postfix on loopback: messages per second
#      from smtp-source (20 sessions, 4 KiB messages, discard: transport)
#      through orvamilter against the same Postfix without it, target 0.80
#      (bench/postfix_milter_bench.sh; as root where Postfix is installed,
#      which this script does as root, and skipped with the reason otherwise).
#
# Usage: scripts/bench.sh [--quick]
#   --quick  fewer runs and smaller sizes, to check that everything works
# Needs cmake, make, gcc, g++, OpenSSL's development files and md5sum; installs
# missing ones with apt-get when run as root, otherwise names them. Builds in
# build-bench; uses about 1 GiB of memory and 600 MiB under /tmp, removed at
# the end. The machines here are noisy: run it on an otherwise idle machine.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

quick=${1:-}

missing=()
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v make >/dev/null 2>&1 || missing+=(make)
command -v gcc >/dev/null 2>&1 || missing+=(gcc)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
{ have_header openssl/evp.h && have_library libcrypto; } || missing+=(libssl-dev)
command -v md5sum >/dev/null 2>&1 || missing+=(coreutils)
[ ${#missing[@]} = 0 ] || install_packages "${missing[@]}"

# The product is built as it ships (RelWithDebInfo, -O2); the tests are not
# needed here, nor GoogleTest.
cmake -S . -B build-bench -DORVA_BUILD_BENCH=ON -DORVA_BUILD_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(md5_bench client_bench)
if have_milter_library; then
    targets+=(orvamilter)
    ensure_postfix
fi
cmake --build build-bench --target "${targets[@]}" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null

if [ "$quick" = --quick ]; then
    build-bench/bench/md5_bench 32 3
else
    build-bench/bench/md5_bench 256 7
fi
echo
# A missed target is reported by the status at the end, after every table.
status=0
build-bench/bench/client_bench build-bench/orvaclient build-bench/bench/floor_client \
    build-bench/orvaserver-standin $quick || status=$?
echo
if [ -x build-bench/orvamilter ]; then
    bash bench/postfix_milter_bench.sh build-bench/orvamilter build-bench/orvaserver-standin \
        $quick || status=$?
else
    echo "mail filter in Postfix: skipped (no mail-filter library: sudo apt-get install libmilter-dev)"
fi
exit $status
