#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Crateline need.
# Idempotent: asks apt only for what is missing, and refreshes the package lists at most once.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config
  # libraries
  libgtest-dev googletest libcli11-dev zlib1g-dev libdeflate-dev libisal-dev libutf8proc-dev
  # uploading into a mailbox: HTTPS, and the server's answers and the upload journal in JSON
  libcurl4-openssl-dev nlohmann-json3-dev
  # Outlook data files (libpff's header needs libbfio's)
  libpff-dev libbfio-dev
  # Thunderbird's address books and calendars
  libsqlite3-dev
  # the window
  qt6-base-dev fonts-dejavu-core fonts-dejavu-extra
  # a fallback font with Chinese, Japanese and Korean, whose lines are taller than the window's
  fonts-droid-fallback
  # independent readers and reference tools for tests and benchmarks
  tar gzip pigz python3 libarchive-tools pff-tools python3-vobject python3-icalendar
  # the sample Outlook data files, fetched over HTTPS by scripts/test-data.sh
  ca-certificates
  # the test mail server's throwaway certificate
  openssl
  # formatting and lint
  clang-format clang-tidy
  # the line reader's fuzz target
  clang libclang-rt-14-dev
  # the Windows build, tested under Wine (tclsh makes SQLite's one-file source for it)
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix libz-mingw-w64-dev wine wine64 wine32:i386 tcl
  # resources, installation and the package (CPack reads the programs' libraries with file)
  binutils-mingw-w64-x86-64 desktop-file-utils appstream dpkg-dev man-db file
  # the window in a real X server, for screenshots and trying it by hand
  xvfb xauth x11-utils
  # the Windows installer
  nsis
)

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi

# The 32-bit Wine comes from the i386 architecture, which apt must know before it can find it.
refresh=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
  refresh=1
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null | grep -qx installed; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ] && [ $refresh -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
