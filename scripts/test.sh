#!/usr/bin/env bash
# Builds everything with warnings as errors and runs every test: once with the
# default compiler, once with clang under the address and undefined-behaviour
# sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

ensure_build_tools
configure_and_build build -DORVA_WERROR=ON
ctest --test-dir build --output-on-failure -j 2

ensure_clang_sanitizers
configure_and_build build-sanitize -DORVA_WERROR=ON -DORVA_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
ctest --test-dir build-sanitize --output-on-failure -j 2
bash scripts/package_check.sh
say "all tests passed"
