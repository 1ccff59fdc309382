#!/usr/bin/env bash
# Checks the formatting, then builds everything with warnings as errors and
# runs every test: once with the default compiler, once with clang under the
# address and undefined-behaviour sanitizers (no report is recovered from),
# and once as a 32-bit x86 build, the platform the client is made for. Each
# build is a preset of CMakePresets.json, so one of them can be rebuilt and
# rerun alone: cmake --preset NAME && cmake --build --preset NAME &&
# ctest --preset NAME.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

# preset_build_and_test NAME: configures, builds and tests one preset.
preset_build_and_test() {
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1" -j "$(nproc 2>/dev/null || echo 2)"
    ctest --preset "$1"
}

bash scripts/format_check.sh

ensure_build_tools
ensure_milter_tools
ensure_postfix
preset_build_and_test default

ensure_clang_sanitizers
preset_build_and_test sanitize

ensure_m32_tools
preset_build_and_test m32

bash scripts/package_check.sh
say "all tests passed"
