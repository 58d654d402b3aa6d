#!/usr/bin/env bash
# Fetches Debian's source package PACKAGE at VERSION into build-deps/source/PACKAGE-VERSION
# (once), for the libraries the Windows build makes from source because Debian has no mingw
# build of them. The source comes through a private apt configuration under build-deps, so the
# machine's own package lists are left as they are. Prints the folder.
set -euo pipefail
package=$1
version=$2
deps="$(cd "$(dirname "$0")/.." && pwd)/build-deps"
source_dir="$deps/source/$package-$version"
if [ ! -d "$source_dir" ]; then
  apt_dir="$deps/apt"
  fetch="$deps/source/fetch-$package"
  rm -rf "$fetch"
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$fetch"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
    "http://deb.debian.org/debian bookworm main" >"$apt_dir/sources.list"
  apt=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=/nonexistent"
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o Debug::NoLocking=1)
  echo "$package: fetching Debian's source of $package $version" >&2
  apt-get "${apt[@]}" update -qq >&2
  (cd "$fetch" && apt-get "${apt[@]}" source -qq "$package=$version" >/dev/null 2>&1)
  unpacked=$(find "$fetch" -mindepth 1 -maxdepth 1 -type d -name "$package-*" | head -1)
  mv "$unpacked" "$source_dir"
  rm -rf "$fetch"
fi
echo "$source_dir"
