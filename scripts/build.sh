#!/usr/bin/env bash
# Configures and builds with a preset (default: ci, where warnings are errors).
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-ci}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j 2
