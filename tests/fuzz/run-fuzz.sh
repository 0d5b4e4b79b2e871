#!/bin/sh
# Builds the script fuzz target and runs it for a bounded time.
# Usage: tests/fuzz/run-fuzz.sh [seconds]   (default 60)
# Exits non-zero when the fuzzer finds a fault; the input that caused it is
# left in build/fuzz/artifacts/.
set -eu
seconds="${1:-60}"
root="$(cd "$(dirname "$0")/../.." && pwd)"
cd "$root"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target script_fuzz

# New inputs go to a working corpus in the build tree; the seeds stay as they are.
work="build/fuzz/corpus"
artifacts="build/fuzz/artifacts"
mkdir -p "$work" "$artifacts"

exec build/fuzz/tests/fuzz/script_fuzz \
  -max_total_time="$seconds" \
  -max_len=8192 \
  -timeout=10 \
  -error_exitcode=77 \
  -artifact_prefix="$artifacts/" \
  -print_final_stats=1 \
  "$work" tests/fuzz/corpus
