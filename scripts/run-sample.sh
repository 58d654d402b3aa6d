#!/usr/bin/env bash
# Sets the machine up, builds, and runs the main job on the sample mailbox in samples/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh default
./build/cli/crateline-cli scan --list samples/mailbox
