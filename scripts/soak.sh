#!/usr/bin/env bash
# Soak: many complete runs of the release download against one virtual phone
# that serves forever. Prints, over all runs, the tool's peak resident size
# and its open descriptors at exit (first, last, lowest, highest) and the
# failures. Any growth from the first runs to the last is a defect.
#   ./scripts/soak.sh [RUNS]          (default 500)
# With --wine: download.exe under Wine, each run a 2 MiB image at 460800
# bit/s against the phone paced at the line's speed (a lost byte shows as a
# failed run); prints the runs, their time and the failures.
#   ./scripts/soak.sh --wine [RUNS]   (default 20)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
wine=false
if [[ ${1:-} == --wine ]]; then
    wine=true
    shift
fi
runs=${1:-$($wine && echo 20 || echo 500)}
ensure_packages build
$wine && ensure_packages windows

cmake --preset release >/dev/null
cmake --build --preset release --target download phonesim soak_exit_probe >/dev/null
if $wine; then
    cmake --preset windows >/dev/null
    cmake --build --preset windows --target download >/dev/null
    prefix=${DOWNLOAD_WINEPREFIX:-$PWD/build/wineprefix}
    prepare_wine_prefix "$prefix"
    export WINEPREFIX=$prefix WINEDEBUG=-all
fi
work=$(mktemp -d)
phone=
com=$($wine && echo "$prefix/dosdevices/com62" || true)
trap '[[ -n $phone ]] && kill $phone 2>/dev/null; [[ -n $com ]] && rm -f "$com"; rm -rf "$work"' EXIT
# Copies, so that a rebuild during the soak changes nothing.
cp build/release/app/download build/release/sim/phonesim "$work/"
$wine && cp build/windows/app/download.exe "$work/"
cp "$(find build/release/bench/soak -name 'libsoak_exit_probe.so' | head -n 1)" "$work/probe.so"
download=$work/download
phonesim=$work/phonesim
probe=$work/probe.so
cd "$work"
"$phonesim" --write-loader rb7.s37 >/dev/null
if $wine; then
    "$phonesim" --write-crc-image big.bin --image-size 2097152 >/dev/null
    "$phonesim" --runs 0 --pace --enq-interval 20 --erase-ms 10 --quiet >phonesim.out 2>phonesim.err &
    phone=$!
    ln -sf "$(phonesim_port phonesim.out)" "$com"
    wineserver -p >/dev/null 2>&1 </dev/null || true
    failures=0
    start=$(date +%s)
    for ((i = 1; i <= runs; i++)); do
        if ! wine ./download.exe big.bin /l /s:460 /c:COM62 >run.out 2>&1 </dev/null; then
            failures=$((failures + 1))
            echo "run $i failed:" >&2
            tail -5 run.out >&2
        fi
    done
    echo "wine runs: $runs of 2 MiB at 460800 in $(($(date +%s) - start)) s, failures: $failures"
    [[ $failures -eq 0 ]]
    exit
fi
"$phonesim" --write-crc-image a.bin --image-size 30000 >/dev/null
"$phonesim" --write-block-image b.bin --block-pattern dbzd >/dev/null
"$phonesim" --runs 0 --enq-interval 10 --quiet >phonesim.out 2>phonesim.err &
phone=$!
port=$(phonesim_port phonesim.out)

failures=0
start=$(date +%s)
for ((i = 1; i <= runs; i++)); do
    if ! DOWNLOAD_SOAK_PROBE=$work/probe.txt LD_PRELOAD=$probe \
        "$download" a.bin b.bin:0x600000 /l /s:460 "/c:$port" >run.out 2>&1 </dev/null; then
        failures=$((failures + 1))
        echo "run $i failed:" >&2
        tail -5 run.out >&2
    fi
done
seconds=$(($(date +%s) - start))

awk -v runs="$runs" -v failures="$failures" -v seconds="$seconds" '
    { split($1, f, "="); split($2, k, "="); fd[NR] = f[2]; kib[NR] = k[2] }
    END {
        n = NR
        minfd = maxfd = fd[1]; mink = maxk = kib[1]
        for (i = 1; i <= n; i++) {
            if (fd[i] < minfd) minfd = fd[i]; if (fd[i] > maxfd) maxfd = fd[i]
            if (kib[i] < mink) mink = kib[i]; if (kib[i] > maxk) maxk = kib[i]
        }
        printf "runs: %d in %d s, failures: %d, probes: %d\n", runs, seconds, failures, n
        printf "peak RSS (kB):       first %d, last %d, lowest %d, highest %d\n", kib[1], kib[n], mink, maxk
        printf "descriptors at exit: first %d, last %d, lowest %d, highest %d\n", fd[1], fd[n], minfd, maxfd
        if (failures > 0 || n != runs || maxfd != minfd || kib[n] > kib[1] + 256) exit 1
    }' probe.txt
