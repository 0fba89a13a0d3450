#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing,
# and any others named as arguments (e.g. python3-matplotlib for the
# benchmark's pictures).
set -euo pipefail

packages=(cmake ninja-build g++-mingw-w64-x86-64 wine64 xvfb xauth googletest
          imagemagick x11-apps nsis clang libcli11-dev "$@")
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
