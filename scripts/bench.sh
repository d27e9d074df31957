#!/usr/bin/env bash
# How fast the image fingerprint is, side by side with the tools it replaces. Creates three
# random images (16, 4 and 64 MiB, as baseband, kernel and root file system), warms the page
# cache, then runs in turn, ULV_BENCH_REPS times each (default 9), and prints the medians:
#   (a) ulv-fingerprint on the three files (release build)
#   (b) GNU md5sum on the same three files
#   (c) the shell recipe the daemon would otherwise run, three times:
#       cat IMG | busybox md5sum > FILE
# with the ratios a/b and a/c and the throughput of each. The goal: a/b <= 1 and a/c <= 0.75.
# Then the same for the ARMv5TE release build under qemu-arm, against the same host tools, as
# a rough guide only (ULV_BENCH_ARMEL=0 skips it). Then the kernel panic partition reader on
# 16 MiB of random bytes without a tag, against plain `cat` of the same file (the reader reads
# the partition once, in constant memory, and tests every 255-character piece for the three
# tags). Last, the footprint: the daemon's private
# resident memory once it has digested a sandbox whose root image is 4 KiB, and one whose root
# image is 64 MiB; the two should not differ by more than a page.
#
#   ./scripts/bench.sh
#
# Installs busybox (and the build tools) when missing and run as root; otherwise says what to
# install. A benchmark, not a test: the figures depend on the machine and its load.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh

reps=${ULV_BENCH_REPS:-9}
armel=${ULV_BENCH_ARMEL:-1}
jobs=${ULV_JOBS:-2}

packages=(cmake ninja-build g++ busybox coreutils)
[ "$armel" = 1 ] && packages+=(g++-arm-linux-gnueabi qemu-user)
ensure_packages "${packages[@]}" || exit 1

echo "== building ulv-fingerprint (release)"
cmake --preset release >/dev/null
cmake --build --preset release --target ulv-fingerprint ulv ulv-handset ulv-kpanic-scan -j "$jobs" >/dev/null
host_tool=build/release/tools/fingerprint/ulv-fingerprint
if [ "$armel" = 1 ]; then
  echo "== building ulv-fingerprint (release-armel)"
  cmake --preset release-armel >/dev/null
  cmake --build --preset release-armel --target ulv-fingerprint -j "$jobs" >/dev/null
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/ulv-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
head -c $((16 << 20)) /dev/urandom >"$work/bpsw"
head -c $((4 << 20)) /dev/urandom >"$work/kern"
head -c $((64 << 20)) /dev/urandom >"$work/root"
images=("$work/bpsw" "$work/kern" "$work/root")
total_bytes=$(cat "${images[@]}" | wc -c)
cat "${images[@]}" >/dev/null  # warm the page cache

# The three agree before anything is timed.
want=$(md5sum "${images[@]}" | cut -d' ' -f1 | tr '\n' ' ')
got=$("$host_tool" "${images[@]}" | head -n 3 | cut -d' ' -f2 | tr '\n' ' ')
recipe=""
for image in "${images[@]}"; do
  cat "$image" | busybox md5sum >"$work/ulv.md5sum"
  recipe+="$(cut -d' ' -f1 "$work/ulv.md5sum") "
done
if [ "$want" != "$got" ] || [ "$want" != "$recipe" ]; then
  echo "digests differ: md5sum $want, ulv-fingerprint $got, busybox $recipe" >&2
  exit 1
fi

# Microseconds of wall time of one run of the command in "$@".
elapsed_us() {
  local start=$EPOCHREALTIME
  "$@"
  local end=$EPOCHREALTIME
  echo $(( ${end/./} - ${start/./} ))
}
run_tool() { "$@" "${images[@]}" >/dev/null; }
run_md5sum() { md5sum "${images[@]}" >/dev/null; }
run_recipe() {
  local image
  for image in "${images[@]}"; do cat "$image" | busybox md5sum >"$work/ulv.md5sum"; done
}
median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

# bench LABEL REPS COMMAND...: runs (a), (b) and (c) in turn REPS times and prints the medians.
bench() {
  local label=$1 n=$2
  shift 2
  local a=() b=() c=() i
  for ((i = 0; i < n; ++i)); do
    a+=("$(elapsed_us run_tool "$@")")
    b+=("$(elapsed_us run_md5sum)")
    c+=("$(elapsed_us run_recipe)")
  done
  local ma mb mc
  ma=$(printf '%s\n' "${a[@]}" | median)
  mb=$(printf '%s\n' "${b[@]}" | median)
  mc=$(printf '%s\n' "${c[@]}" | median)
  awk -v label="$label" -v n="$n" -v a="$ma" -v b="$mb" -v c="$mc" -v bytes="$total_bytes" 'BEGIN {
    printf "%s: %d MiB in three images, median of %d runs each\n", label, bytes / 1048576, n
    printf "  (a) ulv-fingerprint        %8.1f ms  %7.1f MB/s\n", a / 1000, bytes / a
    printf "  (b) md5sum                 %8.1f ms  %7.1f MB/s\n", b / 1000, bytes / b
    printf "  (c) cat | busybox md5sum   %8.1f ms  %7.1f MB/s\n", c / 1000, bytes / c
    printf "  a/b %.2f (goal <= 1.00)   a/c %.2f (goal <= 0.75)   b/c %.2f\n", a / b, a / c, b / c
  }'
}

echo "== command: ./scripts/bench.sh (ULV_BENCH_REPS=$reps)"
bench "host release" "$reps" "$host_tool"
if [ "$armel" = 1 ]; then
  bench "armel release under qemu-arm -cpu arm926 (rough guide)" $(( (reps + 2) / 3 )) \
    qemu-arm -cpu arm926 -L /usr/arm-linux-gnueabi build/release-armel/tools/fingerprint/ulv-fingerprint
fi

# The kernel panic partition: 16 MiB of binary data, as a damaged or foreign partition holds.
kpanic_root=$(mktemp -d "$work/kpanic.XXXXXX")
mkdir -p "$kpanic_root/dev/mtdblock"
head -c $((16 << 20)) /dev/urandom >"$kpanic_root/dev/mtdblock/kpanic"
cat "$kpanic_root/dev/mtdblock/kpanic" >/dev/null
run_scan() { ULV_SIM_ROOT="$kpanic_root" build/release/tools/footprint/ulv-kpanic-scan >/dev/null; }
run_cat() { cat "$kpanic_root/dev/mtdblock/kpanic" >/dev/null; }
scan=() plain=()
for ((i = 0; i < reps; ++i)); do
  scan+=("$(elapsed_us run_scan)")
  plain+=("$(elapsed_us run_cat)")
done
awk -v a="$(printf '%s\n' "${scan[@]}" | median)" -v b="$(printf '%s\n' "${plain[@]}" | median)" \
  -v bytes=$((16 << 20)) -v n="$reps" 'BEGIN {
  printf "kernel panic partition, 16 MiB of random bytes without a tag, median of %d runs each\n", n
  printf "  ulv-kpanic-scan (the daemon'"'"'s reader)  %8.1f ms  %7.1f MB/s\n", a / 1000, bytes / a
  printf "  cat > /dev/null                   %8.1f ms  %7.1f MB/s   ratio %.2f\n", b / 1000, bytes / b, a / b
}'

# footprint ROOT_BYTES: the daemon's peak resident KiB after it has digested the images of a
# fresh sandbox with a root image of ROOT_BYTES. No handset listens: the daemon computes the
# fingerprint at initialisation, then retries the telephony connection, and is ended here.
footprint() {
  local sandbox pid="" hwm="" i
  sandbox=$(mktemp -d "$work/phone.XXXXXX")
  ULV_SIM_UPTIME=0 build/release/tools/handset/ulv-handset --root "$sandbox" --prepare
  head -c "$1" /dev/urandom >"$sandbox/dev/mtdblock/root"
  {
    echo "[UlvSetup]"
    printf '%s\n' "ulv_availability = 1" "ulv_sms_address_type = 0" "ulv_last_num_panics = 0" \
      "ulv_lst_bldinfo_baselabel = R1" "ulv_last_flex_version = F1" "ulv_last_panic_timestamp = 0" \
      "ulv_last_preiodic_report_timestamp = 0" "ulv_last_powerup_timestamp = 0" \
      "ulv_cummulative_uptime = 0" "ulv_destination_address = +15550100" \
      "ulv_report_duration = 24" "ulv_report_delay = 5" "ulv_last_ap_quela_num_panics = 0" \
      "ulv_last_ap_quela_panic_timestamp = 0" "ulv_last_ap_num_dump = 0" \
      "ulv_last_ap_num_dump_timestamp = 0" "ulv_last_ap_kernel_timestamp = 0" "enableCoreDumps = 0"
  } >"$sandbox/zel_app/setup/ulv.cfg"
  ULV_SIM_ROOT="$sandbox" ZEL_APP_WRITE_PATH="$sandbox/zel_app" build/release/src/ulv
  for ((i = 0; i < 100; ++i)); do
    [ -s "$sandbox/tmp/ulv.pid" ] && pid=$(cat "$sandbox/tmp/ulv.pid")
    if [ -n "$pid" ] && grep -q "CRC is" "$sandbox/zel_user/download/appwrite/ulvPanicInfo" 2>/dev/null; then
      sleep 0.3  # the same stage in every run: waiting between connection attempts
      hwm=$(awk '/^VmHWM/ {h = $2} /^RssAnon/ {a = $2} END {print "private " a " KiB, peak " h " KiB"}' "/proc/$pid/status" 2>/dev/null || true)
      break
    fi
    sleep 0.05
  done
  [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  echo "${hwm:-not measured}"
}
echo "footprint: the daemon's resident memory after digesting its images (private: RssAnon,"
echo "  which keeps the stack and heap it touched; peak: VmHWM, which also counts shared library"
echo "  pages and so varies with what the page cache holds)"
echo "  root image 4 KiB:  $(footprint 4096)"
echo "  root image 64 MiB: $(footprint $((64 << 20)))"
