#!/usr/bin/env bash
# Installs what is needed, builds everything, and runs every test through CTest.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
"$here/scripts/setup"
"$here/scripts/build"
cd "${DROSIL_BUILD_DIR:-$here/build}"
ctest --output-on-failure -j "$(nproc)" "$@"
