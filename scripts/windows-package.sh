#!/usr/bin/env bash
# Packs the Windows programs for people on Windows: an installer (NSIS) and a portable zip for
# 64- and 32-bit Windows, each with both programs, the library that reads Outlook data files,
# the manual page as text and the licences, in
# build-win-ARCH/dist/. Needs the Windows builds (scripts/windows-test.sh builds them).
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(Crateline VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
for arch in x86_64 i686; do
  build="build-win-$arch"
  bits=$([ "$arch" = x86_64 ] && echo 64 || echo 32)
  stage="$PWD/$build/stage"
  dist="$PWD/$build/dist"
  rm -rf "$stage" "$dist"
  mkdir -p "$stage" "$dist"
  cp "$build/win32/crateline.exe" "$build/cli/crateline-cli.exe" res/crateline.ico \
    "build-deps/libpff-$arch/bin/libpff-1.dll" "$stage/"
  "$arch-w64-mingw32-strip" "$stage"/*.exe
  # Text a Windows reader opens as it is: no overstrike, CR LF line ends.
  groff -mandoc -Tutf8 -P-cbou res/linux/crateline-cli.1 | sed 's/$/\r/' >"$stage/crateline-cli.txt"
  sed 's/$/\r/' LICENSE >"$stage/LICENSE.txt"
  sed 's/$/\r/' "build-deps/libpff-$arch/COPYING.LESSER" >"$stage/libpff-LICENSE.txt"
  makensis -V2 -DARCH="$arch" -DVERSION="$version" -DSTAGE="$stage" \
    -DOUTFILE="$dist/crateline-$version-win$bits-setup.exe" res/windows/crateline.nsi
  python3 - "$stage" "$dist/crateline-$version-win$bits.zip" <<'PY'
import os, sys, zipfile
stage, out = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED) as archive:
    for name in ['crateline.exe', 'crateline-cli.exe', 'libpff-1.dll', 'crateline-cli.txt',
                 'LICENSE.txt', 'libpff-LICENSE.txt']:
        archive.write(os.path.join(stage, name), 'Crateline/' + name)
PY
  echo "windows: $build/dist: $(cd "$dist" && ls | tr '\n' ' ')"
done
