#!/usr/bin/env bash
# Cross-builds SQLite, the reader of Thunderbird's address books, for Windows (ARCH: i686 or
# x86_64), from Debian's own source package of the version this machine's libsqlite3-dev is,
# into build-deps/sqlite-ARCH (once; a later run finds it there). Debian has no mingw build of
# it. The source makes its one-file form (sqlite3.c) with its own tools, which need tclsh; that
# file is compiled into a static library, as SQLite is public domain and meant to be built in.
set -euo pipefail
arch=$1
root=$(cd "$(dirname "$0")/.." && pwd)
deps="$root/build-deps"
out="$deps/sqlite-$arch"
if [ -f "$out/lib/libsqlite3.a" ] && [ -f "$out/include/sqlite3.h" ]; then
  exit 0
fi

version=$(dpkg-query -W -f='${source:Version}' libsqlite3-dev)
source_dir=$(bash "$root/scripts/debian-source.sh" sqlite3 "$version")
one_file="$deps/sqlite-$version-amalgamation"
if [ ! -f "$one_file/sqlite3.c" ]; then
  echo "sqlite: making sqlite3.c from Debian's source of $version"
  work="$deps/build-sqlite"
  rm -rf "$work"
  cp -a "$source_dir" "$work"
  (cd "$work" && ./configure --disable-tcl >configure.out 2>&1 && make sqlite3.c >make.out 2>&1) || {
    tail -30 "$work"/configure.out "$work"/make.out 2>/dev/null
    exit 1
  }
  mkdir -p "$one_file"
  cp "$work/sqlite3.c" "$work/sqlite3.h" "$one_file/"
  rm -rf "$work"
fi

echo "sqlite: building for $arch-w64-mingw32"
mkdir -p "$out/lib" "$out/include"
# Only reading is asked of it: no extensions loaded from files, and threads as the program has.
"$arch-w64-mingw32-gcc" -O2 -c "$one_file/sqlite3.c" -o "$out/sqlite3.o" \
  -DSQLITE_OMIT_LOAD_EXTENSION -DSQLITE_THREADSAFE=1 -DSQLITE_DQS=0
"$arch-w64-mingw32-ar" rcs "$out/lib/libsqlite3.a" "$out/sqlite3.o"
rm "$out/sqlite3.o"
cp "$one_file/sqlite3.h" "$out/include/"
echo "sqlite: $out"
