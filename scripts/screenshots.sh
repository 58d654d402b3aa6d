#!/usr/bin/env bash
# Renders the window without a screen into docs/: as it opens, and during a conversion.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh default >/dev/null
mkdir -p docs
QT_QPA_PLATFORM=offscreen ./build/app/crateline-screenshot docs/screenshot.png docs/screenshot-running.png
echo "docs/screenshot.png and docs/screenshot-running.png written"
