#!/usr/bin/env bash
# Installs the Debian packages the build needs, and only those missing.
# Usage: tools/install-deps.sh [extra packages...]
set -euo pipefail

packages=(cmake ninja-build g++ make pkg-config git
          libssl-dev libsqlite3-dev libgd-dev libjpeg62-turbo-dev libpng-dev
          libgtest-dev libgmock-dev libbenchmark-dev
          clang libclang-rt-14-dev "$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
