#!/usr/bin/env bash
# Renders the windows into docs/: the Qt window without a screen, and the Windows window under
# Wine on a virtual display (needs scripts/windows-test.sh's build first); each as it opens and
# during a conversion.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh default >/dev/null
mkdir -p docs
QT_QPA_PLATFORM=offscreen ./build/app/crateline-screenshot docs/screenshot.png docs/screenshot-running.png
echo "docs/screenshot.png and docs/screenshot-running.png written"

shot=build-win-x86_64/win32/crateline-screenshot.exe
[ -x "$shot" ] || { echo "no Windows build: run scripts/windows-test.sh first" >&2; exit 1; }
export WINEPREFIX="${WINEPREFIX:-$PWD/build-wine/prefix}" WINEDEBUG=-all
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
xvfb-run -a -s "-screen 0 1024x768x24" wine "$shot" "$tmp/window.bmp" "$tmp/running.bmp"
# A 24-bit BMP, bottom row first, into a PNG.
python3 - "$tmp/window.bmp" docs/screenshot-windows.png "$tmp/running.bmp" docs/screenshot-windows-running.png <<'PY'
import struct, sys, zlib
def convert(source, target):
    data = open(source, 'rb').read()
    offset = struct.unpack_from('<I', data, 10)[0]
    width, height = struct.unpack_from('<ii', data, 18)
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(height - 1, -1, -1):
        row = data[offset + y * stride: offset + y * stride + width * 3]
        rows.append(b'\0' + bytes(row[i + 2 - 2 * (i % 3)] for i in range(len(row))))
    def chunk(kind, body):
        return struct.pack('>I', len(body)) + kind + body + struct.pack('>I', zlib.crc32(kind + body))
    png = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0))
    png += chunk(b'IDAT', zlib.compress(b''.join(rows), 9)) + chunk(b'IEND', b'')
    open(target, 'wb').write(png)
for i in range(1, len(sys.argv), 2):
    convert(sys.argv[i], sys.argv[i + 1])
PY
echo "docs/screenshot-windows.png and docs/screenshot-windows-running.png written"
