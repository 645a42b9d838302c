#!/usr/bin/env bash
# The main demonstration: builds download and the virtual phone (phonesim),
# writes a sample flash loader and three images, runs a complete download of
# them against the phone, then shows the phone's verdict and compares the
# phone's FLASH with the images byte for byte. Then a production line: a job
# made of the same files and run on a station of four virtual phones (one of
# them fails its CRC), its journal and its statistics.
#   DEMO_BUILD_DIR=<dir>  build there instead of the release preset's directory
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages build

build=${DEMO_BUILD_DIR:-build/release}
if [[ $build == build/release ]]; then
    cmake --preset release >/dev/null
else
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target download phonesim
download=$PWD/$build/app/download
phonesim=$PWD/$build/sim/phonesim

demo=build/demo
rm -rf "$demo"
mkdir -p "$demo"
cd "$demo"

# The loader file, and images that pass the tool's checks (signature, CRC).
"$phonesim" --write-loader rb7.s37
"$phonesim" --write-crc-image firmware.bin --image-size 300000
"$phonesim" --write-block-image tables.bin --block-pattern dbbbzzdbzd
"$phonesim" --write-crc-image audio.bin --image-size 40000
images=("firmware.bin:0x400000" "tables.bin:0x600000" "audio.bin:0x680000")

# The phone on a pseudo-terminal; its first line of output is the port.
"$phonesim" --timeout 300 --dump flash.bin --report phone-report.txt \
    --transcript transcript.txt >phonesim.out 2>phonesim.err &
phone=$!
trap 'kill $phone 2>/dev/null || true' EXIT
port=$(phonesim_port phonesim.out)

echo
echo "=== download ${images[*]} /l /s:460 /c:$port"
set +e
"$download" "${images[@]}" /l /s:460 "/c:$port"
tool_status=$?
wait $phone
phone_status=$?
set -e
trap - EXIT

echo
echo "=== download ended with exit status $tool_status"
echo "=== what the phone saw (phonesim exit status $phone_status)"
cat phonesim.err
echo "=== the phone's FLASH against the images"
for entry in "${images[@]}"; do
    file=${entry%%:*}
    address=$((${entry#*:}))
    size=$(stat -c %s "$file")
    if cmp -s -n "$size" -i "0:$address" "$file" flash.bin; then
        printf '%-14s %8d bytes at 0x%06X: identical\n' "$file" "$size" "$address"
    else
        printf '%-14s %8d bytes at 0x%06X: DIFFERENT\n' "$file" "$size" "$address"
        tool_status=1
    fi
done
echo "(files in $demo: the images, flash.bin, transcript.txt, phone-report.txt)"

echo
echo "=== download --make-job=line3.job ${images[*]} /l /s:460"
"$download" --make-job=line3.job "${images[@]}" /l /s:460 | tail -n 1
slots=
phones=()
for slot in A B C D; do
    fault=()
    [[ $slot == D ]] && fault=(--crc-xor 1)  # a phone (or a cable) that spoils the CRC
    "$phonesim" --runs 2 --timeout 120 --quiet --enq-interval 20 "${fault[@]}" \
        >"phone-$slot.out" 2>&1 &
    phones+=($!)
    slots+="${slots:+,}$slot=$(phonesim_port "phone-$slot.out")"
done
trap 'kill "${phones[@]}" 2>/dev/null || true' EXIT
echo
echo "=== download --job=line3.job --ports=$slots --repeat=2 --journal=phones.json --log-dir=logs"
set +e
"$download" --job=line3.job "--ports=$slots" --repeat=2 --journal=phones.json --log-dir=logs
station_status=$?
set -e
wait "${phones[@]}" || true
trap - EXIT
echo
echo "=== the station ended with exit status $station_status (2: a phone failed)"
echo "=== its journal, one JSON line a phone; the first:"
head -n 1 phones.json
echo
echo "=== download --stats=phones.json"
"$download" --stats=phones.json
[[ $station_status == 2 ]] || tool_status=1
exit "$tool_status"
