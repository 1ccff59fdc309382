#!/usr/bin/env bash
# Builds everything with warnings as errors and runs every test: once with the
# default compiler, once with clang under the address and undefined-behaviour
# sanitizers (no report is recovered from), and once as a 32-bit x86 build,
# the platform the client is made for.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

ensure_build_tools
ensure_milter_tools
configure_and_build build -DORVA_WERROR=ON
ctest --test-dir build --output-on-failure -j 2

ensure_clang_sanitizers
configure_and_build build-sanitize -DORVA_WERROR=ON -DORVA_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
ctest --test-dir build-sanitize --output-on-failure -j 2

ensure_m32_tools
configure_and_build build-m32 -DORVA_WERROR=ON -DORVA_GTEST_FROM_SOURCE=ON \
    -DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32
ctest --test-dir build-m32 --output-on-failure -j 2
bash scripts/package_check.sh
say "all tests passed"
