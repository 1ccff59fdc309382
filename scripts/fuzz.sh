#!/usr/bin/env bash
# Fuzzes the reply path for MINUTES minutes (default 10): builds the libFuzzer
# target in build-fuzz/ with clang under the address and undefined-behaviour
# sanitizers, starts from the committed corpus (tests/fuzz/corpus) and keeps
# the new inputs it finds in build-fuzz/finds; a crashing input is saved in
# build-fuzz/crashes. Further arguments go to libFuzzer (e.g. -jobs=1).
#   scripts/fuzz.sh MINUTES [libFuzzer options...]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

minutes=${1:-10}
case $minutes in
'' | *[!0-9]*)
    say "usage: scripts/fuzz.sh MINUTES [libFuzzer options...]"
    exit 2
    ;;
esac
[ $# -gt 0 ] && shift

ensure_build_tools
ensure_clang_sanitizers
cmake -S . -B build-fuzz -DORVA_BUILD_FUZZ=ON -DORVA_SANITIZE=ON -DORVA_BUILD_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    >/dev/null
cmake --build build-fuzz --target reply_fuzz -j "$(nproc 2>/dev/null || echo 2)"

mkdir -p build-fuzz/finds build-fuzz/crashes
say "fuzzing for $minutes minutes; new inputs go to build-fuzz/finds"
# New inputs are written to the first directory only; the corpus stays as
# committed. Add a find to tests/fuzz/corpus by copying it there.
build-fuzz/reply_fuzz -max_total_time=$((minutes * 60)) -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix=build-fuzz/crashes/ "$@" \
    build-fuzz/finds tests/fuzz/corpus
