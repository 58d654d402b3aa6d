#!/usr/bin/env bash
# Sets the machine up, builds, and runs the main job on the sample mailbox in samples/:
# count its messages, pack them into a .tgz for Zimbra, and read that back as Zimbra would.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh default
cli=./build/cli/crateline-cli
mkdir -p build/sample
$cli scan samples/mailbox
$cli convert samples/mailbox -o build/sample/ZimbraMailbox.tgz --force
$cli verify build/sample/ZimbraMailbox.tgz --source samples/mailbox
