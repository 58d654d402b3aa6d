#!/usr/bin/env bash
# Builds the core, crateline-cli, the window and their tests for 32- and 64-bit Windows with
# mingw-w64 and runs them under Wine, checks that the programs need no DLL Windows lacks, then
# checks the Windows program end to end: it converts the sample mailbox, which the Linux verify
# reads back, scans a folder whose path is longer than 260 characters and has names outside
# ASCII, and uploads to the local test server. Needs the Linux build (scripts/build.sh) first.
set -euo pipefail
# The window's test creates the real window: Wine, from its first process on, draws on a
# virtual display of its own.
if [ -z "${CRATELINE_UNDER_XVFB:-}" ]; then
  export CRATELINE_UNDER_XVFB=1
  exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@"
fi
cd "$(dirname "$0")/.."
root=$PWD

export WINEPREFIX="${WINEPREFIX:-$root/build-wine/prefix}"
export WINEDEBUG=-all WINEDLLOVERRIDES=winedbg.exe=d LANG=C.UTF-8 LC_ALL=C.UTF-8
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
wineserver -p
trap 'wineserver -k || true' EXIT
wine wineboot -i </dev/null >/dev/null 2>&1

system_dlls='kernel32|user32|gdi32|comctl32|comdlg32|shell32|shlwapi|ole32|oleaut32|advapi32|msvcrt|normaliz|ws2_32|winhttp|crypt32|bcrypt|uxtheme|version'
# ...and the one the packages carry beside them, which imports only the system's own.
shipped_dlls='libpff-1'
bash scripts/test-data.sh
for arch in i686 x86_64; do
  build="build-win-$arch"
  echo "windows: building for $arch"
  bash scripts/windows-libpff.sh "$arch"
  bash scripts/windows-sqlite.sh "$arch"
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCRATELINE_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-w64-$arch.cmake" >/dev/null
  cmake --build "$build" -j 2
  # The programs must start on a bare Windows: they may import only the system's own DLLs.
  for exe in "$build"/cli/*.exe "$build"/win32/*.exe "$build"/cli/libpff-1.dll; do
    foreign=$("$arch-w64-mingw32-objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' |
      tr '[:upper:]' '[:lower:]' | grep -Ev "^($system_dlls|$shipped_dlls)\.dll$" || true)
    [ -z "$foreign" ] || { echo "windows: $exe needs $foreign, which Windows does not ship" >&2; exit 1; }
  done
  # Each test binary once, directly: its own summary line says how many tests ran (an
  # emulator that cannot start a program runs none, and that must not pass for success).
  for binary in "$build"/tests/*.exe; do
    log="$build/$(basename "$binary" .exe).log"
    if ! wine "$binary" >"$log" 2>&1; then
      cat "$log" >&2
      echo "windows: $arch $(basename "$binary") failed" >&2
      exit 1
    fi
    summary=$(tr -d '\r' <"$log" | grep -E '^\[  PASSED  \] [0-9]+ test' || true)
    [ -n "$summary" ] || { cat "$log" >&2; echo "windows: $binary ran no test" >&2; exit 1; }
    echo "windows: $arch $(basename "$binary"): $summary"
  done
done

echo "windows: end to end with the 32-bit program"
cli=build-win-i686/cli/crateline-cli.exe
work=$(mktemp -d)
trap 'wineserver -k || true; rm -rf "$work"' EXIT
cp -r samples/mailbox "$work/mailbox"
wine "$cli" convert "Z:$(echo "$work/mailbox" | tr / '\\')" -o "Z:$(echo "$work/sample.tgz" | tr / '\\')" >/dev/null
./build/cli/crateline-cli verify "$work/sample.tgz" --source samples/mailbox

# An Outlook data file under a name outside ASCII, read by the libpff built for Windows: the
# same messages, byte for byte, as the Linux program makes of it.
mkdir "$work/outlook"
cp build-deps/outlook-samples/enron.pst "$work/outlook/Ärchiv 日本.pst"
wine "$cli" convert "Z:$(echo "$work/outlook" | tr / '\\')" -o "Z:$(echo "$work/outlook.tgz" | tr / '\\')" >/dev/null
./build/cli/crateline-cli verify "$work/outlook.tgz" --source "$work/outlook"
./build/cli/crateline-cli convert "$work/outlook" -o "$work/outlook-linux.tgz" >/dev/null
cmp <(tar -xzOf "$work/outlook.tgz") <(tar -xzOf "$work/outlook-linux.tgz") ||
  { echo "windows: the Outlook messages differ from the Linux program's" >&2; exit 1; }

# A path past MAX_PATH, with names outside ASCII and outside the ANSI code page.
deep="$work/long"
for i in $(seq 1 12); do deep="$deep/Ordner-$i-Überprüfung-日本語"; done
mkdir -p "$deep"
printf 'Subject: deep\r\n\r\nx\r\n' > "$deep/Nachricht ä.eml"
printf 'Subject: top\r\n\r\nx\r\n' > "$work/long/top.eml"
[ ${#deep} -gt 260 ] || { echo "windows: the deep path is too short" >&2; exit 1; }
out=$(wine "$cli" scan --from eml "Z:$(echo "$work/long" | tr / '\\')" | tr -d '\r')
echo "windows: $out"
[ "$out" = "2 Messages & 12 Folder(s) Queued for Conversion." ] || { echo "windows: wrong scan" >&2; exit 1; }
# The same tree read as convert reads it: the folders Zimbra will make, every one on the way.
out=$(wine "$cli" scan "Z:$(echo "$work/long" | tr / '\\')" | tr -d '\r' | head -n 1)
echo "windows: $out"
[ "$out" = "2 Messages & 12 Folder(s) Queued for Conversion." ] || { echo "windows: wrong walk" >&2; exit 1; }
# upload through WinHTTP, against the local stand-in for Zimbra; what the server receives is
# read back with the Linux program. In a Wine session of its own: in the one the windows were
# drawn in, every program starts a desktop process that holds its output open a while after
# it ends, and the test waits for each.
echo "windows: upload with the 64-bit program"
wineserver -k || true
wineserver -p
wine wineboot </dev/null >/dev/null 2>&1
CRATELINE_VERIFY_CLI="$root/build/cli/crateline-cli" \
  python3 tests/upload/upload_test.py build-win-x86_64/cli/crateline-cli.exe
# What a person on Windows downloads: the installer and the zip, and the installer tried.
bash scripts/windows-package.sh
bash scripts/windows-install-test.sh
echo "windows: all checks passed"
