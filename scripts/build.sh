#!/usr/bin/env bash
# Configures and builds everything (DLLs, tools, tests) into build/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
cmake --preset default >/dev/null
cmake --build --preset default
