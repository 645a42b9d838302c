#!/usr/bin/env bash
# Runs every fuzz target for the given seconds (default 60), two at a time,
# each from a copy of its seed corpus with its dictionary. Needs the fuzz
# preset built (cmake --preset fuzz && cmake --build --preset fuzz).
#   ./scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
[[ ${#targets[@]} -eq 0 ]] && targets=(command_line replies loader images control)
bin=build/fuzz/tests/fuzz
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

run_one() {
    local t=$1
    mkdir -p "$work/$t"
    cp tests/fuzz/corpus/"$t"/* "$work/$t/"
    if "$bin/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 \
        -dict="tests/fuzz/$t.dict" -artifact_prefix="$work/$t-" "$work/$t" \
        >"$work/$t.log" 2>&1; then
        echo "fuzz_$t: $(grep -E '^stat::number_of_executed_units' "$work/$t.log" | awk '{print $2}') runs," \
            "$(grep -oE 'cov: [0-9]+' "$work/$t.log" | tail -1), no finding"
    else
        echo "fuzz_$t: FINDING" >&2
        tail -40 "$work/$t.log" >&2
        mkdir -p build/fuzz-findings
        cp "$work/$t"-* build/fuzz-findings/ 2>/dev/null || true
        return 1
    fi
}

status=0
pids=()
for t in "${targets[@]}"; do
    run_one "$t" &
    pids+=($!)
    if [[ ${#pids[@]} -eq 2 ]]; then
        wait "${pids[0]}" || status=1
        wait "${pids[1]}" || status=1
        pids=()
    fi
done
for p in "${pids[@]}"; do wait "$p" || status=1; done
exit $status
