#!/usr/bin/env bash
# Installs the 64-bit installer silently under Wine as a person on Windows would get it, runs
# the installed crateline-cli.exe, starts the installed window, uninstalls, and checks that
# nothing is left. Run by scripts/windows-test.sh, inside its Wine prefix and virtual display.
set -euo pipefail
cd "$(dirname "$0")/.."
fail() { echo "windows: installer: $*" >&2; exit 1; }
setup=$(ls build-win-x86_64/dist/crateline-*-win64-setup.exe)
product="Brakmoor Crateline"
folder="$WINEPREFIX/drive_c/Program Files/$product"
menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/$product"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Crateline'

wine "$setup" /S  # it has ended when wine returns
for file in crateline.exe crateline-cli.exe libpff-1.dll crateline-cli.txt LICENSE.txt \
  libpff-LICENSE.txt uninstall.exe; do
  [ -f "$folder/$file" ] || fail "$file was not installed"
done
[ -f "$menu/$product.lnk" ] || fail "no Start-menu entry"
wine reg query "$key" /v DisplayName /reg:64 >/dev/null 2>&1 || fail "not listed among installed programs"
version=$(wine "C:\\Program Files\\$product\\crateline-cli.exe" --version | tr -d '\r')
[ "$version" = "crateline-cli 3.0" ] || fail "the installed crateline-cli says \"$version\""

# The installed window opens: its caption appears on the display, however long Wine takes.
wine "C:\\Program Files\\$product\\crateline.exe" &
window=$!
for _ in $(seq 600); do
  xwininfo -root -tree | grep -q '"Brakmoor Crateline v3.0"' && break
  sleep 0.1
done
xwininfo -root -tree | grep -q '"Brakmoor Crateline v3.0"' || fail "the installed window did not open"
kill "$window" 2>/dev/null || true
wine taskkill /F /IM crateline.exe >/dev/null 2>&1 || true
wait || true

# The uninstaller runs a copy of itself from the temporary folder, so that it can remove its own
# file, and returns at once: its work is seen ending, however long it takes.
wine "C:\\Program Files\\$product\\uninstall.exe" /S
for _ in $(seq 600); do
  [ -e "$folder" ] || break
  sleep 0.1
done
[ ! -e "$folder" ] || fail "left behind: $(ls "$folder")"
[ ! -e "$menu" ] || fail "the Start-menu folder was left behind"
! wine reg query "$key" /reg:64 >/dev/null 2>&1 || fail "still listed among installed programs"
echo "windows: installed, run, opened and uninstalled without a trace"
