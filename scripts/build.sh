#!/usr/bin/env bash
# Configures and builds everything (DLLs, tools, tests, installer) into
# build/, or with another preset into its folder: "scripts/build.sh clang"
# builds the same with clang into build-clang/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
preset=${1:-default}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
