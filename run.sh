#!/usr/bin/env bash
# Installs what is needed, builds, and runs the meter's demonstration.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
"$here/scripts/setup"
"$here/scripts/build" --target drosil
exec "${DROSIL_BUILD_DIR:-$here/build}/app/drosil" "$@"
