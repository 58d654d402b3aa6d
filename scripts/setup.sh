#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Crateline need.
# Idempotent: asks apt only for what is missing, and refreshes the package lists at most once.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config
  # libraries
  libgtest-dev googletest libcli11-dev zlib1g-dev libdeflate-dev libisal-dev libutf8proc-dev
  # the window
  qt6-base-dev fonts-dejavu-core
  # independent readers and reference tools for tests and benchmarks
  tar gzip pigz python3 libarchive-tools
  # formatting and lint
  clang-format clang-tidy
  # the line reader's fuzz target
  clang libclang-rt-14-dev
  # resources, installation and the package
  binutils-mingw-w64-x86-64 desktop-file-utils appstream dpkg-dev man-db
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null | grep -qx installed; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
