#!/usr/bin/env bash
# The status page in a real browser: a station on four virtual phones (D's
# CRC spoilt), its page loaded by headless Chromium twice; the DOM shows each
# slot's state, the labels as text, D's failed phone and quarantine in red,
# the totals, and that it updates. With --screenshot FILE: the page as a PNG.
#   tests/e2e/status_page.sh DOWNLOAD PHONESIM [--screenshot FILE]
set -euo pipefail
download=$1 phonesim=$2 shot=${4:-}
[[ ${3:-} == --screenshot ]] || shot=
browser=$(command -v chromium || true)
[[ -n $browser ]] || { echo "chromium is missing (apt-get install chromium)" >&2; exit 1; }
source "$(dirname "$0")/../../scripts/deps.sh"
work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
"$phonesim" --write-loader rb7.s37
"$phonesim" --write-crc-image fw.bin --image-size 60000
slots=
for slot in A B C D; do
    fault=()
    [[ $slot == D ]] && fault=(--crc-xor 1)
    "$phonesim" --runs 0 --timeout 120 --quiet --pace --enq-interval 20 "${fault[@]}" \
        >"phone-$slot.out" 2>&1 &
    pids+=($!)
    slots+="${slots:+,}$slot=$(phonesim_port "phone-$slot.out")"
done
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
page=$(free_port) control=$(free_port)
"$download" fw.bin /l --ports="$slots" --repeat --quarantine=1 --journal=phones.json \
    --status-page=127.0.0.1:"$page" --control=127.0.0.1:"$control" >station.out 2>&1 &
station=$!
pids+=($station)
shopt -s execfail  # a refused connection is tried again, not the end
for _ in $(seq 100); do { exec 3<>"/dev/tcp/127.0.0.1/$control"; } 2>/dev/null && break; sleep 0.1; done
# A label from a scanner that holds markup: shown as text.
printf 'LABEL A <b>x</b>\nLABEL B IMEI 356938035643809\n' >&3
dom() {
    "$browser" --headless --no-sandbox --disable-gpu --virtual-time-budget=3000 \
        --dump-dom "http://127.0.0.1:$page/" 2>/dev/null
}
fail() { echo "status page: $1" >&2; echo "$2" | head -c 4000 >&2; echo >&2; cat station.out >&2; exit 1; }
first=$(dom)
rows=$(grep -o '<tr class="slot[^"]*" data-slot="[A-D]"' <<<"$first" | wc -l)
[[ $rows == 4 ]] || fail "4 slot rows expected, $rows found" "$first"
grep -q '&lt;b&gt;x&lt;/b&gt;' <<<"$first" || fail "the label as text" "$first"
grep -q '<b>x</b>' <<<"$first" && fail "markup from a label reached the DOM" "$first"
grep -qE 'class="state">(boot ROM|loader|image 1/1|erasing|waiting for a phone)' <<<"$first" ||
    fail "a slot's state" "$first"
updates1=$(grep -oE 'id="updates"[^>]*>[0-9]+' <<<"$first" | grep -oE '[0-9]+$')
# D's first phone fails its CRC: D quarantined, red; the totals count it.
for _ in $(seq 120); do grep -q '"slot":"D".*"result":"failed"' phones.json 2>/dev/null && break; sleep 0.5; done
# Scanned labels for the phones that follow (the screenshot shows them).
[[ -n $shot ]] && printf 'LABEL A IMEI 356938035643817\nLABEL B IMEI 356938035643825\n' >&3
sleep 1
second=$(dom)
grep -qE '<tr class="slot[^"]*quarantined[^"]*" data-slot="D"' <<<"$second" ||
    fail "D quarantined" "$second"
grep -qE 'id="failed"[^>]*>[1-9]' <<<"$second" || fail "the failed phone in the totals" "$second"
grep -qE 'id="yield"[^>]*>[0-9.]+%' <<<"$second" || fail "the yield" "$second"
grep -qE 'id="clock"[^>]*>0:00:[0-9]{2}' <<<"$second" || fail "the station's clock" "$second"
updates2=$(grep -oE 'id="updates"[^>]*>[0-9]+' <<<"$second" | grep -oE '[0-9]+$')
[[ ${updates1:-0} -ge 1 && ${updates2:-0} -ge 1 && $second != "$first" ]] ||
    fail "no live update ($updates1, $updates2)" "$second"
if [[ -n $shot ]]; then
    "$browser" --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=1000,420 \
        --virtual-time-budget=3000 --screenshot="$shot" "http://127.0.0.1:$page/" 2>/dev/null
fi
printf 'STOP\n' >&3
wait "$station" || true
echo "status page: 4 slots, a label as text, D quarantined, totals, live updates"
