#!/usr/bin/env bash
# Builds and runs the benchmarks, natively and as Windows programs under Wine,
# and prints one table of ratios against baselines measured in the same run;
# the table also goes to bench/results.md. Timings never fail the run. Takes
# about half an hour; run it on a quiet machine (see `uptime`). The run
# before is kept in build/bench-run.prev and set beside this one in the table
# (two quiet runs should agree within 5 % on the store rows).
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
    say "access-load pass, one thread and two (Wine)"
    wine "$bin/bench_fill.exe" 60 >>"$tsv" || echo "NOTE	fill.wine	exited with $?" >>"$tsv"
    say "timer-driven load (Wine)"
    wine "$bin/bench_timer_load.exe" 3 2 >>"$tsv" || echo "NOTE	timer	exited with $?" >>"$tsv"
    say "taking blocks (Wine)"
    wine "$bin/bench_take.exe" 8 >>"$tsv" || echo "NOTE	take	exited with $?" >>"$tsv"
    say "allocation test (Wine)"
    wine "$bin/bench_alloc_test.exe" 3 >>"$tsv" || echo "NOTE	alloctest.wine	exited with $?" >>"$tsv"
    say "start-up (Wine)"
    wine "$bin/bench_startup.exe" "$(winepath -w "$TORVANE_ROOT/build/bench-win/torvane.exe")" 9 >>"$tsv" \
        || echo "NOTE	startup	exited with $?" >>"$tsv"
    say "torvane-run --keep-available (Wine, about 60 s)"
    "$TORVANE_ROOT/build/bench-native/bench/bench_hold_keep" --wine "$TORVANE_ROOT/build/bench-win/torvane-run.exe" \
        "$bin/bench_room_sampler.exe" 3 5 \
        >>"$tsv" 2>"$RUN/keep-wine.log" || echo "NOTE	keep.settle.wine	exited with $?" >>"$tsv"
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
# torvane-run linked fully static, as the Linux package ships it: the rows
# that start it time what users start (static, it reached its first line
# 2.4 ms sooner: 5.7 against 8.1 ms, perf stat over 60 runs of --hold 1M).
quiet cmake -S . -B build/bench-native -DCMAKE_BUILD_TYPE=Release -DTORVANE_STATIC_RUN=ON
quiet cmake --build build/bench-native -j2 --target bench_native bench_peer bench_make_script bench_reader_rss \
    bench_native_take bench_hold_keep bench_metrics bench_content bench_touch_floor torvane-run
quiet cmake -S . -B build/bench-win -DCMAKE_TOOLCHAIN_FILE="$TORVANE_ROOT/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release
quiet cmake --build build/bench-win -j2 --target torvane torvane-run bench_fill bench_peer bench_timer_load bench_take bench_alloc_test \
    bench_room_sampler bench_startup bench_minimal_window bench_minimal_window_imports bench_minimal_window_panel

rm -rf "$RUN.prev"
if [ -d "$RUN" ]; then mv "$RUN" "$RUN.prev"; fi
mkdir -p "$RUN"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date -u '+%Y-%m-%d %H:%M UTC')
NATIVE="$TORVANE_ROOT/build/bench-native/bench"
SCRIPT="$RUN/mixed.evk"
BIG="$RUN/big.evk"
SMALL="$RUN/small.evk"
trap 'rm -f "$SCRIPT" "$BIG" "$SMALL"' EXIT

say "native benchmarks"
"$NATIVE/bench_make_script" "$SCRIPT" 128
"$NATIVE/bench_native" --script="$SCRIPT" --benchmark_enable_random_interleaving=true \
    --benchmark_out="$RUN/native.json" --benchmark_out_format=json >"$RUN/native.log" 2>&1 \
    || echo "NOTE	native	bench_native exited with $?" >>"$RUN/native.tsv"
rm -f "$SCRIPT"

say "taking blocks (native)"
"$NATIVE/bench_native_take" 8 >>"$RUN/native.tsv" || echo "NOTE	take.native	exited with $?" >>"$RUN/native.tsv"

# torvane-run's own take, and --keep-available against a competitor in a
# throwaway memory cgroup (root only; otherwise a NOTE). The keeper's log goes
# to keep.log, for reading a missed goal.
say "torvane-run --hold and --keep-available (about 90 s)"
"$NATIVE/bench_hold_keep" "$TORVANE_ROOT/build/bench-native/torvane-run" 32 3 5 >>"$RUN/native.tsv" \
    2>"$RUN/keep.log" || echo "NOTE	hold.take	bench_hold_keep exited with $?" >>"$RUN/native.tsv"

# --pressure some=10% against a workload re-reading its cache in a throwaway
# 700 MiB group (root only; otherwise a NOTE): settling, windows in band,
# the largest share. Over 120 s: a 60 s run leaves about 7 windows after
# settling, so one window out of band moved the share by 0.14.
say "torvane-run --pressure (about 150 s)"
python3 "$TORVANE_ROOT/bench/pressure_bench.py" "$TORVANE_ROOT/build/bench-native/torvane-run" 120 >>"$RUN/native.tsv" \
    2>"$RUN/pressure.log" || echo "NOTE	pressure.settle	pressure_bench.py exited with $?" >>"$RUN/native.tsv"

# The access load with its metrics endpoint scraped every 100 ms, against
# the same passes without an endpoint.
say "access load beside a scraped --metrics (about 35 s)"
"$NATIVE/bench_metrics" 16 1 >>"$RUN/native.tsv" || echo "NOTE	metrics.scrape	bench_metrics exited with $?" >>"$RUN/native.tsv"

# --kind file and shmem: the take, start to "reached" by the run's own
# events, against dd writing the same bytes to the same kind of file (on
# the same disk, and on /dev/shm), flushed as the take flushes; in turns.
kind_take() {  # KIND
    "$TORVANE_ROOT/build/bench-native/torvane-run" --json --hold 1G --kind "$1" --for 0 2>/dev/null | python3 -c '
import datetime, json, sys
at = {}
for line in sys.stdin:
    event = json.loads(line)
    if event["event"] in ("hold-start", "hold-reached"):
        at[event["event"]] = datetime.datetime.fromisoformat(event["time"])
took = (at["hold-reached"] - at["hold-start"]).total_seconds()
print("%.1f" % (1024 / took))'
}
dd_take() {  # FILE
    local began ended
    began=$(date +%s%N)
    dd if=/dev/zero of="$1" bs=1M count=1024 conv=fdatasync status=none
    ended=$(date +%s%N)
    rm -f "$1"
    awk -v ns=$((ended - began)) 'BEGIN { printf "%.1f", 1024 / (ns / 1e9) }'
}
say "--kind file and shmem take against dd (about 50 s)"
for round in 1 2 3 4 5; do
    printf 'BENCH\tkind.take\tfile, 1GiB\tproduct\t%s\tMiB/s\n' "$(kind_take "file:$RUN")"
    printf 'BENCH\tkind.take\tfile, 1GiB\tdd\t%s\tMiB/s\n' "$(dd_take "$RUN/dd.bin")"
    printf 'BENCH\tkind.take\tshmem, 1GiB\tproduct\t%s\tMiB/s\n' "$(kind_take shmem)"
    printf 'BENCH\tkind.take\tshmem, 1GiB\tdd\t%s\tMiB/s\n' "$(dd_take /dev/shm/torvane-bench-dd)"
done >>"$RUN/native.tsv"
say "--content random against the fill pass"
"$NATIVE/bench_content" 8 >>"$RUN/native.tsv" || echo "NOTE	content.random	bench_content exited with $?" >>"$RUN/native.tsv"

# Keeping 1 GiB warm: processor time per GiB-minute of --touch, -a and
# -a --access-rate 1G/s against the peer's --vm-keep and its rate-limited
# --memrate, in turns, with a bare touch loop as the floor under --touch;
# and the rate --access-rate achieved.
say "keeping 1 GiB warm against stress-ng (about 5 minutes)"
python3 "$TORVANE_ROOT/bench/warm_bench.py" "$TORVANE_ROOT/build/bench-native/torvane-run" 15 3 "$NATIVE/bench_touch_floor" \
    >>"$RUN/native.tsv" \
    2>"$RUN/warm.log" || echo "NOTE	warm.cpu	warm_bench.py exited with $?" >>"$RUN/native.tsv"

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

# The peer at equal threads, the same work: a 1 GiB block brought in and
# written over and over, counted from the start. Product and peer take turns,
# who goes first changing each round; the product runs natively and under
# Wine (one thread) beside each peer run. Eight rounds: with four, the
# row's median moved by up to 14 % between two runs on one commit, each
# side's own figure spreading by a fifth from round to round.
PEER_SECONDS=6
peer() {  # THREADS ROUND
    local command="stress-ng --vm $1 --vm-bytes 1G --vm-keep --vm-method write64 --metrics -t ${PEER_SECONDS}s"
    printf 'NOTE\tpeer\t%s thread(s): `%s` (--vm-bytes is shared among the --vm workers)\n' "$1" "$command" \
        >>"$RUN/native.tsv"
    $command >"$RUN/stress-ng.$1.$2.log" 2>&1 || true
}
product() {  # THREADS
    if [ "$1" = 1 ]; then
        "$NATIVE/bench_peer" 1 "$PEER_SECONDS" "1 thread, native" >>"$RUN/native.tsv" || true
        wine "$TORVANE_ROOT/build/bench-win/bench/bench_peer.exe" 1 "$PEER_SECONDS" "1 thread, Wine" \
            >>"$RUN/wine-peer.tsv" 2>/dev/null || echo "NOTE	peer	bench_peer.exe exited with $?" >>"$RUN/native.tsv"
    else
        "$NATIVE/bench_peer" "$1" "$PEER_SECONDS" "$1 threads, native" >>"$RUN/native.tsv" || true
    fi
}
say "against stress-ng, 8 rounds (about 4 minutes)"
ensure_wine_prefix wineprefix-bench
for round in 1 2 3 4 5 6 7 8; do
    for threads in 1 2; do
        if [ $((round % 2)) = 1 ]; then
            peer "$threads" "$round"
            product "$threads"
        else
            product "$threads"
            peer "$threads" "$round"
        fi
    done
done
wineserver -w

say "Windows programs under Wine"
xvfb-run -a -s "-screen 0 1024x768x24" "$TORVANE_ROOT/tools/bench.sh" --wine-part

load_after=$(cut -d' ' -f1-3 /proc/loadavg)
echo "Bench run of $started to $(date -u '+%H:%M UTC'), commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)." \
     "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')," \
     "$(awk '/MemTotal/{printf "%.1f GiB", $2/1048576}' /proc/meminfo), $(wine --version 2>/dev/null)," \
     "kernel $(uname -r). Load average before: $load_before; after: $load_after." >"$RUN/header.txt"
{
    cat "$RUN/header.txt"
    echo
    python3 "$TORVANE_ROOT/bench/report.py" "$RUN" --previous "$RUN.prev"
} >"$TORVANE_ROOT/bench/results.md"
cat "$TORVANE_ROOT/bench/results.md"
