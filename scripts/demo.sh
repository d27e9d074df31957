#!/usr/bin/env bash
# The daemon's main job, against the simulated handset, on accelerated time (1 real second is
# half an hour of the phone's): one new baseband panic goes out as a crash report and is
# confirmed, the cumulative uptime grows by 900 s a tick until the 6-hour periodic report is
# due and sent, SIGTERM saves the run, and after a reboot nothing is reported twice. Then an
# application crashes: its core file goes out as a core dump report and is deleted on delivery.
#
# Shows as it happens: "handset |" the telephony traffic, "aplog   |" the platform log,
# "trace   |" the trace file. Everything it starts is stopped at the end. At the end the
# receiving side ingests what the handset sent and prints its fleet summary.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh
top=$(pwd)

ensure_packages cmake ninja-build g++ googletest pkg-config libsqlite3-dev libpq-dev || exit 1

echo "== building the daemon, the simulated handset, the decoder and the fleet store"
cmake --preset host >/dev/null
cmake --build --preset host --target ulv ulv-handset ulv-decode ulv_core_file ulv-fleet >/dev/null
bin=$top/build/host
ulv=$bin/src/ulv
handset=$bin/tools/handset/ulv-handset
decode=$bin/tools/decode/ulv-decode
core_file=$bin/tools/core-file/ulv-core-file
fleet=$bin/tools/fleet/ulv-fleet

root=$top/demo-run
rm -rf "$root"
export ULV_SIM_ROOT=$root ULV_TIME_SCALE=1800 ZEL_APP_WRITE_PATH=$root/zel_app
ULV_SIM_UPTIME=120 "$handset" --root "$root" --prepare

pids=()
stop_all() {
  [ -f "$root/tmp/ulv.pid" ] && kill "$(cat "$root/tmp/ulv.pid")" 2>/dev/null || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap stop_all EXIT

# Waits up to $2 seconds for $1 (a fixed string) in the file $3.
wait_for() {
  local deadline=$((SECONDS + $2))
  until grep -qF -- "$1" "$3" 2>/dev/null; do
    if [ $SECONDS -ge $deadline ]; then echo "demo: gave up waiting for '$1'" >&2; exit 1; fi
    sleep 0.2
  done
}

# The configuration as provisioned: reports go to +15550100, the handset last ran AP_R1 /
# FLEX_7, panics up to time stamp 0x1000 were handled, a periodic report every 6 hours.
cat >"$root/zel_app/setup/ulv.cfg" <<CFG
[UlvSetup]
ulv_availability = 1
ulv_sms_address_type = 0
ulv_last_num_panics = 1
ulv_lst_bldinfo_baselabel = AP_R1
ulv_last_flex_version = FLEX_7
ulv_last_panic_timestamp = 1000
ulv_last_preiodic_report_timestamp = 0
ulv_last_powerup_timestamp = 0
ulv_cummulative_uptime = 0
ulv_destination_address = +15550100
ulv_report_duration = 6
ulv_report_delay = 5
ulv_last_ap_quela_num_panics = 0
ulv_last_ap_quela_panic_timestamp = 0
ulv_last_ap_num_dump = 0
ulv_last_ap_num_dump_timestamp = 0
ulv_last_ap_kernel_timestamp = 0
enableCoreDumps = 0
CFG

# The baseband's panic log: an old record (time stamp 0x900) and a new one (0x65a1b2c3, panic
# id 0x00000b0e, 40 data bytes of which the report carries 36). Big-endian, as the BP writes.
bytes() { for b in "$@"; do printf "\\$(printf '%03o' $((b)))"; done; }
be16() { bytes $(($1 >> 8 & 255)) $(($1 & 255)); }
be32() { bytes $(($1 >> 24 & 255)) $(($1 >> 16 & 255)) $(($1 >> 8 & 255)) $(($1 & 255)); }
record() {  # id timestamp data-length data-byte
  be16 0xb5c7; be16 $((43 + $3)); head -c 8 /dev/zero
  be32 "$1"; be32 "$2"; head -c 19 /dev/zero; be32 "$3"
  for _ in $(seq "$3"); do bytes "$4"; done
}
{ record 0x51 0x900 4 0x11; record 0xb0e 0x65a1b2c3 40 0xee; } >"$root/zellocal/panic/bp_panic.log1"

cat >"$root/scenario.txt" <<'SCENARIO'
# A healthy phone running the software the configuration last saw.
ap_version AP_R1
bp_version BP.12.34
flex_version FLEX_7
serial SN01234567
call_time 4711
generic_data 0102030405060708090a0b0c0d0e0f101112131415161718
sequence 100
confirm_delay 2
SCENARIO

# Waits up to $3 seconds for $2 lines holding $1 (a fixed string) in the file $4.
wait_count() {
  local deadline=$((SECONDS + $3))
  until [ "$(grep -cF -- "$1" "$4" 2>/dev/null)" -ge "$2" ]; do
    if [ $SECONDS -ge $deadline ]; then echo "demo: gave up waiting for '$1' x $2" >&2; exit 1; fi
    sleep 0.2
  done
}

follow() {  # file prefix
  touch "$1"
  tail -n +1 -F "$1" 2>/dev/null | sed -u "s/^/$2 | /" &
  pids+=($!)
}

echo "== sandbox root: $root (time scale: $ULV_TIME_SCALE simulated seconds per second)"
"$handset" --root "$root" --scenario "$root/scenario.txt" > >(sed -u 's/^/handset | /') 2>&1 &
pids+=($!)
deadline=$((SECONDS + 10))
until [ -S "$root/sim/tapi.sock" ]; do
  [ $SECONDS -lt $deadline ] || { echo "demo: the handset did not start" >&2; exit 1; }
  sleep 0.1
done
follow "$root/sim/aplog.log" "aplog  "
follow "$root/zel_user/download/appwrite/ulvPanicInfo" "trace  "

echo "== starting the daemon (it detaches)"
"$ulv"
deadline=$((SECONDS + 10))
until [ -s "$root/tmp/ulv.pid" ]; do
  [ $SECONDS -lt $deadline ] || { echo "demo: the daemon wrote no pid file" >&2; exit 1; }
  sleep 0.1
done
echo "== daemon pid $(cat "$root/tmp/ulv.pid")"

wait_for "SMS seq=100" 60 "$root/sim/sms.log"
wait_for "Schedule periodic Timer" 60 "$root/zel_user/download/appwrite/ulvPanicInfo"
echo
echo "== the crash report, as the receiving side decodes it"
"$decode" "$(sed -n 's/^SMS seq=100 .* text=//p' "$root/sim/sms.log")" | sed 's/^/decoded | /'
echo "== saved on its confirmation:"
grep -E "ulv_last_panic_timestamp|ulv_last_num_panics" "$root/zel_app/setup/ulv.cfg" | sed 's/^/config  | /'
echo

echo "== the periodic schedule: 900 s a tick, the report due after 6 hours of uptime"
wait_for "SMS seq=101" 120 "$root/sim/sms.log"
wait_for "Some thing was sent" 5 "$root/sim/aplog.log"
sleep 0.5
echo
echo "== the periodic report, decoded"
"$decode" "$(sed -n 's/^SMS seq=101 .* text=//p' "$root/sim/sms.log")" | sed 's/^/decoded | /'

echo "== SIGTERM: the daemon accounts its run, saves and exits"
kill -TERM "$(cat "$root/tmp/ulv.pid")"
wait_for "ULV Exit" 10 "$root/sim/aplog.log"
grep -E "ulv_cummulative_uptime|ulv_last_preiodic_report_timestamp" "$root/zel_app/setup/ulv.cfg" | sed 's/^/config  | /'

echo "== the phone reboots (uptime 60 s) and the daemon starts again: the panic was reported"
echo "   once and is not found again"
ULV_SIM_UPTIME=60 "$handset" --root "$root" --prepare
"$ulv"
wait_for "BP: There are 0 new panics of 2 total panics" 20 "$root/zel_user/download/appwrite/ulvPanicInfo"
until [ "$(grep -c "Schedule periodic Timer" "$root/zel_user/download/appwrite/ulvPanicInfo")" -ge 2 ]; do
  sleep 0.2
done
kill -TERM "$(cat "$root/tmp/ulv.pid")"
wait_count "ULV Exit" 2 10 "$root/sim/aplog.log"

echo
echo "== an application crashes: the media player leaves a core file (pc 0x40201a2c, inside"
echo "   /usr/lib/libfoo.so.1 at 0x40200000), and core dumps are enabled"
"$core_file" "$root/zellocal/ulv_app_dump/core.mediaplayer.1234" mtime=1700000000 \
  pc=0x40201a2c lr=0x40200f10 signal=11 \
  lib=0x40000000-0x40100000:/lib/libc.so.6 lib=0x40200000-0x40210000:/usr/lib/libfoo.so.1
# A report delay of 15 s keeps the core dump timer well behind the confirmation (2 s).
sed -i -e 's/^enableCoreDumps = 0$/enableCoreDumps = 1/' -e 's/^ulv_report_delay = 5$/ulv_report_delay = 15/' \
  "$root/zel_app/setup/ulv.cfg"
ls -l "$root/zellocal/ulv_app_dump" | sed 's/^/dumpdir | /'
"$ulv"
wait_for "Starting timer for remaining APCD" 30 "$root/zel_user/download/appwrite/ulvPanicInfo"
echo
echo "== the core dump report, decoded"
"$decode" "$(grep "^SMS seq=" "$root/sim/sms.log" | tail -n 1 | sed 's/^SMS .* text=//')" | sed 's/^/decoded | /'
echo "== delivered, so the core file is gone:"
if [ -z "$(ls -A "$root/zellocal/ulv_app_dump")" ]; then echo "dumpdir | (empty)"
else ls -A "$root/zellocal/ulv_app_dump" | sed 's/^/dumpdir | /'; fi
kill -TERM "$(cat "$root/tmp/ulv.pid")"
wait_count "ULV Exit" 3 10 "$root/sim/aplog.log"
echo
echo "== SMS received by the handset: $root/sim/sms.log"
cat "$root/sim/sms.log"
echo "== files: configuration $root/zel_app/setup/ulv.cfg, trace $root/zel_user/download/appwrite/ulvPanicInfo,"
echo "   platform log $root/sim/aplog.log, handset scenario $root/scenario.txt"

echo
echo "== the receiving side: what was sent, into the fleet store $root/fleet.db"
"$fleet" ingest --db "$root/fleet.db" "$root/sim/sms.log"
"$fleet" summary --db "$root/fleet.db"
"$fleet" html --db "$root/fleet.db" "$root/fleet.html"
echo "== the fleet page: $root/fleet.html"
