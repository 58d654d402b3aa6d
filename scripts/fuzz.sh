#!/usr/bin/env bash
# Builds the line reader's libFuzzer target with clang (with the address and undefined-behaviour
# sanitizers) and runs it for a bounded time: fuzz.sh [SECONDS] (default 30).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
out=build/fuzz
mkdir -p "$out/corpus"
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I. \
  tests/util/unicode_reader_fuzz.cpp util/unicode_reader.cpp -o "$out/unicode_reader_fuzz"
# Seeds: a marked file with CR LF lines, and a long line across the block boundary.
printf '\x02\x0d\x00\x0a\x00\xff\xfea\x00\x0d\x00\x0a\x00b\x00' > "$out/corpus/seed-crlf"
{ printf '\x01\x0a\x00'; head -c 40000 /dev/zero | tr '\0' 'x'; } > "$out/corpus/seed-long"
# The whole output is kept: a failure shows what the fuzzer found, and the input that did it.
if ! "$out/unicode_reader_fuzz" -max_total_time="$seconds" -max_len=70000 -print_final_stats=1 \
  -artifact_prefix="$out/" "$out/corpus" >"$out/fuzz.log" 2>&1; then
  grep -v '^#[0-9]' "$out/fuzz.log" | tail -n 60
  echo "fuzz: the line reader failed; the input is in $out/ (crash-*, leak-*, timeout-*, oom-*)"
  exit 1
fi
tail -n 3 "$out/fuzz.log"
echo "fuzz: the line reader held for ${seconds} s"
