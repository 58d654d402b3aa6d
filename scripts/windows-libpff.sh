#!/usr/bin/env bash
# Cross-builds libpff, the reader of Outlook data files, for Windows (ARCH: i686 or x86_64).
#
# Debian has no mingw build of it, so it is built from Debian's own source package, the same
# version as the libpff-dev this machine has, into build-deps/libpff-ARCH (once; a later run
# finds it there). It is a DLL, as on Linux: its licence (LGPL-3+) lets anyone put their own
# build of it beside the programs. It needs no DLL but the system's own.
set -euo pipefail
arch=$1
root=$(cd "$(dirname "$0")/.." && pwd)
deps="$root/build-deps"
out="$deps/libpff-$arch"
if [ -f "$out/bin/libpff-1.dll" ] && [ -f "$out/lib/libpff.dll.a" ] &&
  [ -f "$out/include/libpff.h" ]; then
  exit 0
fi

version=$(dpkg-query -W -f='${source:Version}' libpff-dev)
source_dir=$(bash "$root/scripts/debian-source.sh" libpff "$version")

# Built in a copy that keeps the files' times, so that make does not try to run autotools.
work="$deps/build-libpff-$arch"
rm -rf "$work"
cp -a "$source_dir" "$work"
cd "$work"
echo "libpff: building for $arch-w64-mingw32"
# PKG_CONFIG_LIBDIR keeps the build machine's own libyal libraries out: the source's copies are
# compiled in instead.
# -static-libgcc is part of the compiler's name, where libtool keeps it when it links the DLL:
# for 32-bit Windows the DLL would otherwise need libgcc's, which Windows does not ship.
# UNICODE: its files are opened by their UTF-16 names, not through the ANSI code page, which
# cannot spell most names.
PKG_CONFIG_LIBDIR=/nonexistent CC="$arch-w64-mingw32-gcc -static-libgcc" \
  CPPFLAGS="-DUNICODE -D_UNICODE" \
  ./configure --host="$arch-w64-mingw32" --prefix="$out" \
  --enable-shared --disable-static --enable-winapi --disable-nls --with-zlib=no \
  --disable-multi-threading-support >configure.out 2>&1 || {
  tail -30 configure.out
  exit 1
}
no_autotools=(ACLOCAL=true AUTOMAKE=true AUTOCONF=true AUTOHEADER=true)
for dir in include common libcerror libcthreads libcdata libclocale libcnotify libcsplit libuna \
  libcfile libcpath libbfio libfcache libfdata libfdatetime libfguid libfvalue libfwnt libfmapi \
  libpff; do
  make -C "$dir" -j 2 "${no_autotools[@]}" >>make.out 2>&1 || {
    tail -30 make.out
    exit 1
  }
done
make -C include install "${no_autotools[@]}" >>make.out 2>&1
make -C libpff install "${no_autotools[@]}" >>make.out 2>&1
# The library carries its own copy of libbfio, whose header is not installed: its file-handle
# functions (which Crateline does not use) are left out of the header.
sed -i 's/^#define LIBPFF_HAVE_BFIO.*$//' "$out/include/libpff/features.h"
"$arch-w64-mingw32-strip" "$out/bin/libpff-1.dll"
cp COPYING "$out/COPYING.LESSER"
rm -rf "$work"
echo "libpff: $out"
