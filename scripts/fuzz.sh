#!/bin/sh
# Runs every libFuzzer target for SECONDS each (default 600), one after another, from a
# working copy of its seed corpus, and says what each did: executions, coverage, peak memory
# and findings. Findings are kept under build-fuzz/findings/<target>/; a finding's input
# goes into fuzz/crashes/<target>/ once it is fixed, so the ordinary test run replays it.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-600}
[ $# -gt 0 ] && shift
targets=${*:-"replies box job uidlist tagfile capture address settings"}
scripts/setup.sh fuzz
cmake --preset fuzz >/dev/null
for t in $targets; do
    cmake --build --preset fuzz -j2 --target "fuzz_$t" >/dev/null
done
status=0
printf '%-10s %12s %10s %8s %10s %s\n' target executions "exec/s" cov "peak MB" findings
for t in $targets; do
    work=build-fuzz/corpus/$t
    found=build-fuzz/findings/$t
    mkdir -p "$work" "$found"
    dict=
    [ -f "fuzz/dict/$t.dict" ] && dict=-dict=fuzz/dict/$t.dict
    log=build-fuzz/fuzz-$t.log
    # One input may take at most 1 s, and memory stays bounded. AddressSanitizer's quarantine
    # of freed memory (256 MB by default) would otherwise be most of the peak it reports.
    ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=64} QT_QPA_PLATFORM=offscreen "build-fuzz/fuzz/fuzz_$t" "$work" "fuzz/corpus/$t" $dict \
        -max_total_time="$seconds" -timeout=1 -rss_limit_mb=1024 -malloc_limit_mb=1024 \
        -print_final_stats=1 -artifact_prefix="$found/" >"$log" 2>&1 || status=1
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    peak=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log")
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    findings=$(find "$found" -type f | wc -l)
    printf '%-10s %12s %10s %8s %10s %s\n' "$t" "${runs:-?}" "${speed:-?}" "${cov:-?}" \
        "${peak:-?}" "$findings"
    if [ "$findings" -ne 0 ] || ! grep -q '^stat::number_of_executed_units' "$log"; then
        status=1
        tail -n 25 "$log" >&2
    fi
done
exit $status
