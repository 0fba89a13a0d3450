#!/usr/bin/env bash
# Builds the driver's installer, build/Quorvex-Vor-OD-ASIO-Setup-<version>.exe,
# from the production DLL (installing NSIS and the build tools when missing).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
cmake --preset default >/dev/null
cmake --build --preset default --target installer
ls -l build/Quorvex-Vor-OD-ASIO-Setup-*.exe
