#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs to build, test and run.
# Idempotent: apt is called only when a package is missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config
  mdbtools mdbtools-dev libglib2.0-dev
  libsqlite3-dev
  libseccomp-dev
  libgtest-dev googletest
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
