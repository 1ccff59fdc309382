#!/usr/bin/env bash
# The main job: builds the client if needed and shows what it does.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

ensure_build_tools
configure_and_build build -DORVA_WERROR=ON >/dev/null
build/orvaclient
