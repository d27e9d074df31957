#!/usr/bin/env bash
# What the daemon costs the phone, measured on the host build against the simulated handset on
# accelerated time. A benchmark, not a test: it prints figures and judges nothing.
#
#   ./scripts/footprint.sh
#   ULV_FOOTPRINT_HOURS=8 ULV_FOOTPRINT_SCALE=3600 ./scripts/footprint.sh
#
# Prints, side by side with a bare select() loop built the same way (tools/footprint):
#   - wake-ups, system calls and fsync calls per simulated idle hour (strace on the running
#     daemon while nothing is due; the loop ticks at the daemon's 900-second interval);
#   - heap allocations per report kind, from the timer's expiry to the SMS submission and over
#     the rest of that wake-up, and per idle tick (LD_PRELOAD of libulv-heap-window.so);
#   - private memory (anonymous and private dirty pages, /proc/PID/smaps) and resident memory
#     of the idle daemon;
#   - the stripped size of the handset daemon (ARMv5TE) and the libraries it needs.
#
# Installs missing Debian packages when run as root; otherwise says what to install.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh
top=$(pwd)

hours=${ULV_FOOTPRINT_HOURS:-8}
scale=${ULV_FOOTPRINT_SCALE:-3600}

packages=(cmake ninja-build g++ googletest strace binutils g++-arm-linux-gnueabi
          binutils-arm-linux-gnueabi)
ensure_packages "${packages[@]}" || exit 1

echo "== building the sim daemon, the handset, the decoder, the counter and the bare loop"
mkdir -p build/logs
log=build/logs/footprint-build.log
{ cmake --preset host && cmake --build --preset host -j2 --target ulv ulv-handset ulv-decode \
    ulv_heap_window ulv-bare-loop ulv_core_file; } >"$log" 2>&1 || { tail -n 30 "$log"; exit 1; }
echo "== building the handset daemon for ARMv5TE"
{ cmake --preset handset-armel && cmake --build --preset handset-armel -j2 --target ulv; } \
  >>"$log" 2>&1 || { tail -n 30 "$log"; exit 1; }
arm-linux-gnueabi-strip -o build/handset-armel/ulv.stripped build/handset-armel/src/ulv
# A binary fresh from the linker sits in dirty page-cache pages, which smaps counts as the
# process's private dirty memory: write them out first.
sync build/host/src/ulv build/host/tools/footprint/ulv-bare-loop

bin=$top/build/host
ulv=$bin/src/ulv
handset=$bin/tools/handset/ulv-handset
decode=$bin/tools/decode/ulv-decode
counter=$bin/tools/footprint/libulv-heap-window.so
core_file=$bin/tools/core-file/ulv-core-file
bare=$bin/tools/footprint/ulv-bare-loop

work=$(mktemp -d /tmp/ulv-footprint.XXXXXX)  # short: the handset's socket lives below it
pids=()
stop_all() {
  set +e
  for pidfile in "$work"/*/tmp/ulv.pid; do
    [ -s "$pidfile" ] && kill "$(cat "$pidfile")" 2>/dev/null
  done
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap stop_all EXIT

# Waits up to $2 real seconds until the command $3... succeeds.
wait_until() {
  local what=$1 deadline=$((SECONDS + $2))
  shift 2
  until "$@"; do
    if [ $SECONDS -ge $deadline ]; then echo "footprint: gave up waiting for $what" >&2; exit 1; fi
    sleep 0.1
  done
}
lines_at_least() { [ "$(cat "$1" 2>/dev/null | wc -l)" -ge "$2" ]; }

# world NAME BASELABEL [PANIC]: a sandbox with a handset running AP_R1 / FLEX_7, a configuration
# that last saw BASELABEL, a 1-hour periodic report duration and, with PANIC, one new baseband
# panic in the first log. Starts the handset.
world() {
  local root=$work/$1
  export ULV_SIM_ROOT=$root ULV_TIME_SCALE=$scale ZEL_APP_WRITE_PATH=$root/zel_app
  ULV_SIM_UPTIME=120 "$handset" --root "$root" --prepare
  cat >"$root/zel_app/setup/ulv.cfg" <<CFG
[UlvSetup]
ulv_availability = 1
ulv_sms_address_type = 0
ulv_last_num_panics = 0
ulv_lst_bldinfo_baselabel = $2
ulv_last_flex_version = FLEX_7
ulv_last_panic_timestamp = 1000
ulv_last_preiodic_report_timestamp = 0
ulv_last_powerup_timestamp = 0
ulv_cummulative_uptime = 0
ulv_destination_address = +15550100
ulv_report_duration = ${duration:-1}
ulv_report_delay = 5
ulv_last_ap_quela_num_panics = 0
ulv_last_ap_quela_panic_timestamp = 0
ulv_last_ap_num_dump = 0
ulv_last_ap_num_dump_timestamp = 0
ulv_last_ap_kernel_timestamp = 0
enableCoreDumps = 1
CFG
  if [ "${3:-}" = panic ]; then
    # One record, big-endian: magic, length 83, id 0xb0e, time stamp 0x65a1b2c3, 40 data bytes.
    printf '\xb5\xc7\x00\x53%8s\x00\x00\x0b\x0e\x65\xa1\xb2\xc3%19s\x00\x00\x00\x28%40s' \
      | tr ' ' '\000' >"$root/zellocal/panic/bp_panic.log1"
  fi
  cat >"$root/scenario.txt" <<'SCENARIO'
ap_version AP_R1
bp_version BP.12.34
flex_version FLEX_7
serial SN01234567
call_time 4711
generic_data 0102030405060708090a0b0c0d0e0f101112131415161718
sequence 100
SCENARIO
  "$handset" --root "$root" --scenario "$root/scenario.txt" >"$root/handset.out" 2>&1 &
  pids+=($!)
  wait_until "the handset of $1" 10 test -S "$root/sim/tapi.sock"
}

# start_daemon NAME [ENV...]: starts the daemon of world NAME; prints its pid.
start_daemon() {
  local root=$work/$1
  shift
  env "$@" "$ulv"
  wait_until "the daemon's pid file" 10 test -s "$root/tmp/ulv.pid"
  cat "$root/tmp/ulv.pid"
}

# stop_daemon NAME PID: SIGTERM, and its pid file goes, so that nothing kills that pid again.
stop_daemon() {
  kill "$2" 2>/dev/null || true
  wait_until "the daemon to end" 10 sh -c "! kill -0 $2 2>/dev/null"
  rm -f "$work/$1/tmp/ulv.pid"
}

# Private memory: per mapping, the larger of its anonymous and its private dirty pages (they
# mostly overlap), summed; resident: Rss. In kB.
private_kb() { awk '/^Anonymous:/ {a = $2} /^Private_Dirty:/ {d = $2}
                    /^[0-9a-f]+-[0-9a-f]+ / {t += (a > d ? a : d); a = d = 0}
                    END {t += (a > d ? a : d); print t}' "/proc/$1/smaps"; }
resident_kb() { awk '/^Rss:/ {print $2}' "/proc/$1/smaps_rollup"; }

# trace_idle PID OUT: strace on PID for the simulated hours; prints the real seconds traced.
trace_idle() {
  local seconds start end
  seconds=$(awk -v h="$hours" -v s="$scale" 'BEGIN {printf "%.3f", h * 3600 / s}')
  start=$(date +%s.%N)
  timeout -s INT "$seconds" strace -qq -f -p "$1" -o "$2" 2>/dev/null || true
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN {printf "%.3f", b - a}'
}
# per_hour COUNT REAL_SECONDS
per_hour() { awk -v n="$1" -v r="$2" -v s="$scale" 'BEGIN {printf "%.1f", n * 3600 / (r * s)}'; }
count_calls() { grep -cE "^([0-9]+ +)?$2\(" "$1" || true; }
count_all() { grep -cE '^([0-9]+ +)?[a-z_0-9]+\(' "$1" || true; }
count_wakeups() { grep -cE '^([0-9]+ +)?p?select6?\(.*\) += [1-9]' "$1" || true; }

echo "== idle: $hours simulated hours at $scale simulated seconds per second"
duration=24 world idle AP_R1
idle_pid=$(start_daemon idle)
# Idle once the start-up decision's core dump timer has handed over to the periodic timer.
wait_until "the periodic schedule" 20 grep -q "Schedule periodic Timer" \
  "$work/idle/zel_user/download/appwrite/ulvPanicInfo"
tick=$(awk -v s="$scale" 'BEGIN {printf "%.6f", 900 / s}')
"$bare" "$tick" &
bare_pid=$!
pids+=("$bare_pid")
daemon_real=$(trace_idle "$idle_pid" "$work/idle.strace")
bare_real=$(trace_idle "$bare_pid" "$work/bare.strace")
daemon_private=$(private_kb "$idle_pid")
daemon_resident=$(resident_kb "$idle_pid")
bare_private=$(private_kb "$bare_pid")
bare_resident=$(resident_kb "$bare_pid")
stop_daemon idle "$idle_pid"

echo "== heap allocations per report kind (crash, core dump and periodic; software change)"
world reports AP_R1 panic
"$core_file" "$work/reports/zellocal/ulv_app_dump/core.player.42" pc=0x40001234 \
  lib=0x40000000-0x40100000:/usr/lib/libfoo.so.1
rm -f "$work/reports.heap"
reports_pid=$(start_daemon reports LD_PRELOAD="$counter" ULV_HEAP_WINDOW_LOG="$work/reports.heap")
# The crash report, the core dump report after its confirmation, the periodic report one
# simulated hour later, then idle ticks.
# At this time scale the core dump timer can expire again before the report's confirmation
# arrives, so the core dump report may go out twice: wait for the periodic report by its kind.
has_periodic() {
  sed -n 's/.* text=//p' "$work/reports/sim/sms.log" 2>/dev/null | while read -r text; do
    "$decode" "$text"
  done | grep -q '"kind": *"periodic"'
}
wait_until "the periodic report" 60 has_periodic
ticks_after_reports() {
  [ "$(awk '/submitted=1/ {n++; t = 0; next} /message=0/ {t++} END {print (n >= 3 ? t : 0)}' \
       "$work/reports.heap" 2>/dev/null)" -ge 4 ]
}
wait_until "idle ticks after them" 60 ticks_after_reports
stop_daemon reports "$reports_pid"

world change AP_R0
rm -f "$work/change.heap"
change_pid=$(start_daemon change LD_PRELOAD="$counter" ULV_HEAP_WINDOW_LOG="$work/change.heap")
wait_until "the software change report" 60 lines_at_least "$work/change/sim/sms.log" 1
wait_until "its wake-up to end" 20 grep -q "submitted=1" "$work/change.heap"
stop_daemon change "$change_pid"

# The kind of every SMS a world received, in order, by the receiving side's decoder.
kinds() {
  sed -n 's/.* text=//p' "$work/$1/sim/sms.log" | while read -r text; do
    "$decode" "$text" | sed -n 's/.*"kind": *"\([^"]*\)".*/\1/p'
  done
}
# One row per submission: kind, allocations up to the submission, after it.
submission_rows() {
  paste <(kinds "$1") <(grep "submitted=1" "$work/$1.heap" |
    sed 's/.*allocations=\([0-9]*\).*to_submission=\([0-9]*\).*/\2 \1/')
}

echo
echo "== footprint of the idle daemon ($hours simulated hours, time scale $scale)"
printf '%-44s %14s %18s\n' "" "ulv (sim)" "bare select loop"
printf '%-44s %14s %18s\n' "wake-ups per simulated idle hour" \
  "$(per_hour "$(count_wakeups "$work/idle.strace")" "$daemon_real")" \
  "$(per_hour "$(count_wakeups "$work/bare.strace")" "$bare_real")"
printf '%-44s %14s %18s\n' "system calls per simulated idle hour" \
  "$(per_hour "$(count_all "$work/idle.strace")" "$daemon_real")" \
  "$(per_hour "$(count_all "$work/bare.strace")" "$bare_real")"
printf '%-44s %14s %18s\n' "fsync calls per simulated idle hour" \
  "$(per_hour "$(count_calls "$work/idle.strace" '(fsync|fdatasync)')" "$daemon_real")" \
  "$(per_hour "$(count_calls "$work/bare.strace" '(fsync|fdatasync)')" "$bare_real")"
printf '%-44s %11s kB %15s kB   (ratio %s)\n' "private memory (anonymous + private dirty)" \
  "$daemon_private" "$bare_private" \
  "$(awk -v a="$daemon_private" -v b="$bare_private" 'BEGIN {printf "%.2f", a / b}')"
printf '%-44s %11s kB %15s kB   (ratio %s)\n' "resident memory" "$daemon_resident" \
  "$bare_resident" "$(awk -v a="$daemon_resident" -v b="$bare_resident" 'BEGIN {printf "%.2f", a / b}')"
echo "system calls per idle wake-up of the daemon, by kind:"
awk '/^([0-9]+ +)?pselect6\(.*\) += [1-9]/ {w++}
     /^([0-9]+ +)?[a-z_0-9]+\(/ {sub(/^[0-9]+ +/, ""); sub(/\(.*/, ""); n[$0]++}
     END {for (c in n) printf "%s %.1f\n", c, n[c] / (w ? w : 1)}' "$work/idle.strace" |
  sort -k2 -nr | awk '{printf "  %s %s", $1, $2} END {print ""}'
echo
echo "== heap allocations (timer expiry to SMS submission | rest of that wake-up)"
printf '%-24s %22s %22s\n' "report kind" "expiry to submission" "after the submission"
{ submission_rows reports; submission_rows change; } | while read -r kind upto whole; do
  printf '%-24s %22s %22s\n' "$kind" "$upto" "$((whole - upto))"
done
idle_ticks=$(cat "$work/reports.heap" "$work/change.heap" | grep "message=0 submitted=0" || true)
printf '%-24s %22s   (max over %s ticks)\n' "idle tick, whole" \
  "$(echo "$idle_ticks" | sed -n 's/.*allocations=\([0-9]*\).*/\1/p' | sort -n | tail -n 1)" \
  "$(echo "$idle_ticks" | grep -c allocations || true)"
printf '%-24s %22s   (max; 1 is the telephony library'"'"'s message block)\n' \
  "telephony message, whole" \
  "$(grep "message=1" "$work/reports.heap" | sed -n 's/.*allocations=\([0-9]*\).*/\1/p' |
     sort -n | tail -n 1)"
echo
echo "== the handset daemon (ARMv5TE, MinSizeRel, stripped)"
echo "size: $(stat -c %s build/handset-armel/ulv.stripped) bytes"
echo "needs: $(arm-linux-gnueabi-readelf -d build/handset-armel/src/ulv |
  sed -n 's/.*(\(NEEDED\|RUNPATH\|RPATH\)).*\[\(.*\)\]/\1 \2/p' | tr '\n' ' ')"
