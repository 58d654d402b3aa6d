#!/usr/bin/env bash
# Sets the machine up, builds as CI does (warnings are errors) and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/test-data.sh
bash scripts/build.sh ci
bash scripts/lint.sh --tidy
bash scripts/fuzz.sh 30
if [ "${CRATELINE_SKIP_WINDOWS:-}" != 1 ]; then
  bash scripts/windows-test.sh
fi
ctest --preset ci -j 2
