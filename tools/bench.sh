#!/usr/bin/env bash
# Builds and runs the benchmarks, natively and as Windows programs under Wine,
# and prints one table of ratios against baselines measured in the same run;
# the table also goes to bench/results.md. Timings never fail the run. Takes
# about six and a half minutes; run it on a quiet machine (see `uptime`).
set -euo pipefail
source "$(dirname "$0")/setup.sh"
cd "$TORVANE_ROOT"

RUN="$TORVANE_ROOT/build/bench-run"

say() { echo "== $*" >&2; }

# Runs a command without a word, unless it fails.
quiet() {
    local out
    if ! out=$("$@" 2>&1); then
        echo "$out" >&2
        return 1
    fi
}

# The Windows programs, inside one virtual display (timer messages and the
# start-up windows need one). Records go to $RUN/wine.tsv.
wine_part() {
    ensure_wine_prefix wineprefix-bench
    local bin="$TORVANE_ROOT/build/bench-win/bench"
    local tsv="$RUN/wine.tsv"
    say "fill and sustained pass (Wine)"
    wine "$bin/bench_fill.exe" 8 5 >>"$tsv" || echo "NOTE	fill.wine	exited with $?" >>"$tsv"
    say "timer-driven load (Wine)"
    wine "$bin/bench_timer_load.exe" 3 2 >>"$tsv" || echo "NOTE	timer	exited with $?" >>"$tsv"
    say "taking blocks (Wine)"
    wine "$bin/bench_take.exe" 5 >>"$tsv" || echo "NOTE	take	exited with $?" >>"$tsv"
    say "allocation test (Wine)"
    wine "$bin/bench_alloc_test.exe" 3 >>"$tsv" || echo "NOTE	alloctest.wine	exited with $?" >>"$tsv"
    say "start-up (Wine)"
    wine "$bin/bench_startup.exe" "$(winepath -w "$TORVANE_ROOT/build/bench-win/torvane.exe")" 9 >>"$tsv" \
        || echo "NOTE	startup	exited with $?" >>"$tsv"
    wineserver -w
}

if [ "${1:-}" = "--wine-part" ]; then
    wine_part
    exit 0
fi

TORVANE_PACKAGES="$TORVANE_PACKAGES stress-ng libbenchmark-dev"
ensure_packages

# Build trees of their own, so that a bench run never races another build.
say "building"
quiet cmake -S . -B build/bench-native -DCMAKE_BUILD_TYPE=Release
quiet cmake --build build/bench-native -j2 --target bench_native bench_make_script bench_reader_rss \
    bench_native_take bench_hold_keep torvane-run
quiet cmake -S . -B build/bench-win -DCMAKE_TOOLCHAIN_FILE="$TORVANE_ROOT/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release
quiet cmake --build build/bench-win -j2 --target torvane bench_fill bench_timer_load bench_take bench_alloc_test \
    bench_startup bench_minimal_window bench_minimal_window_imports bench_minimal_window_panel

rm -rf "$RUN"
mkdir -p "$RUN"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
NATIVE="$TORVANE_ROOT/build/bench-native/bench"
SCRIPT="$RUN/mixed.evk"
BIG="$RUN/big.evk"
SMALL="$RUN/small.evk"
trap 'rm -f "$SCRIPT" "$BIG" "$SMALL"' EXIT

say "native benchmarks"
"$NATIVE/bench_make_script" "$SCRIPT" 128
"$NATIVE/bench_native" --script="$SCRIPT" --sustain=5 --benchmark_enable_random_interleaving=true \
    --benchmark_out="$RUN/native.json" --benchmark_out_format=json >"$RUN/native.log" 2>&1 \
    || echo "NOTE	native	bench_native exited with $?" >>"$RUN/native.tsv"
rm -f "$SCRIPT"

say "taking blocks (native)"
"$NATIVE/bench_native_take" 5 >>"$RUN/native.tsv" || echo "NOTE	take.native	exited with $?" >>"$RUN/native.tsv"

# torvane-run's own take, and --keep-available against a competitor in a
# throwaway memory cgroup (root only; otherwise a NOTE). The keeper's log goes
# to keep.log, for reading a missed goal.
say "torvane-run --hold and --keep-available (about 90 s)"
"$NATIVE/bench_hold_keep" "$TORVANE_ROOT/build/bench-native/torvane-run" 5 3 5 >>"$RUN/native.tsv" \
    2>"$RUN/keep.log" || echo "NOTE	hold.take	bench_hold_keep exited with $?" >>"$RUN/native.tsv"

say "script reader's peak memory"
"$NATIVE/bench_make_script" "$BIG" 1000
"$NATIVE/bench_make_script" "$SMALL" 1
rss() {  # peak resident KiB of one fresh process reading the script
    "$NATIVE/bench_reader_rss" "$1" "$2" | awk '{print $3}'
}
for i in 1 2 3; do
    printf 'BENCH\treader.rss\t1 GB script\tproduct\t%s\tKiB\n' "$(rss reader "$BIG")"
    printf 'BENCH\treader.rss\t1 GB script\tfgets-strtok\t%s\tKiB\n' "$(rss fgets "$BIG")"
    printf 'BENCH\treader.rss\t1 GB script\tproduct, 1 MB script\t%s\tKiB\n' "$(rss reader "$SMALL")"
done >>"$RUN/native.tsv"
rm -f "$BIG" "$SMALL"

say "stress-ng, 10 s"
stress-ng --vm 1 --vm-bytes 1G --vm-keep --vm-method write64 --metrics -t 10s >"$RUN/stress-ng.log" 2>&1 || true

say "Windows programs under Wine"
xvfb-run -a -s "-screen 0 1024x768x24" "$TORVANE_ROOT/tools/bench.sh" --wine-part

load_after=$(cut -d' ' -f1-3 /proc/loadavg)
{
    echo "Bench run of $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)."
    echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'),"\
         "$(awk '/MemTotal/{printf "%.1f GiB", $2/1048576}' /proc/meminfo), $(wine --version 2>/dev/null),"\
         "kernel $(uname -r). Load average before: $load_before; after: $load_after."
    echo
    python3 "$TORVANE_ROOT/bench/report.py" "$RUN"
} >"$TORVANE_ROOT/bench/results.md"
cat "$TORVANE_ROOT/bench/results.md"
