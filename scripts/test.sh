#!/usr/bin/env bash
# Builds and runs every test: on the host, under the sanitizers, on the handset's ARMv5TE
# processor and on two big-endian processors, 64- and 32-bit (all three under qemu-user).
# Also cross-builds the handset daemon and prints its stripped size.
#
#   ./scripts/test.sh                      all configurations
#   ULV_CONFIGS="host asan" ./scripts/test.sh   a subset (host asan armel s390x ppc)
#
# Installs missing Debian packages when run as root; otherwise says what to install.
#
# The host and sanitizer configurations also test ulv-fleet, the receiving side, against SQLite
# and against a PostgreSQL server that this script starts privately for the run (a fresh
# cluster in a temporary directory, listening only on a Unix socket there) and stops at the end.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh

configs=${ULV_CONFIGS:-host asan armel s390x ppc}
jobs=${ULV_JOBS:-$(nproc)}

packages=(cmake ninja-build g++ googletest qemu-user binutils)
for config in $configs; do
  case $config in
    armel) packages+=(g++-arm-linux-gnueabi binutils-arm-linux-gnueabi) ;;
    s390x) packages+=(g++-s390x-linux-gnu binutils-s390x-linux-gnu) ;;
    ppc) packages+=(g++-powerpc-linux-gnu binutils-powerpc-linux-gnu) ;;
  esac
done
packages+=(g++-arm-linux-gnueabi binutils-arm-linux-gnueabi)  # the handset build
fleet=0
for config in $configs; do
  case $config in host | asan) fleet=1 ;; esac
done
if [ $fleet -eq 1 ]; then  # ulv-fleet: its libraries, the database server, the browser
  packages+=(pkg-config libsqlite3-dev sqlite3 libpq-dev postgresql chromium)
fi
ensure_packages "${packages[@]}" || exit 1

summary=()
failed=0
logs=build/logs
mkdir -p "$logs"

# The private PostgreSQL server of ulv-fleet's tests.
. scripts/private-postgres.sh
trap stop_postgres EXIT
if [ $fleet -eq 1 ]; then
  echo "== starting a private PostgreSQL server for ulv-fleet's tests"
  if start_postgres "$logs/postgres.log"; then
    export ULV_FLEET_TEST_PG=$ULV_FLEET_PG
  else
    cat "$logs/postgres.log" >&2
    summary+=("PostgreSQL: DID NOT START (see $logs/postgres.log); ulv-fleet's PostgreSQL tests were skipped")
    failed=1
  fi
fi
for config in $configs; do
  echo "== $config: configure and build"
  if ! cmake --preset "$config" >"$logs/build-$config.log" 2>&1 ||
     ! cmake --build --preset "$config" -j "$jobs" >>"$logs/build-$config.log" 2>&1; then
    tail -n 40 "$logs/build-$config.log"
    summary+=("$config: BUILD FAILED (see $logs/build-$config.log)")
    failed=1
    continue
  fi
  echo "== $config: test"
  ctest --preset "$config" -j "$jobs" 2>&1 | tee "$logs/test-$config.log" | grep -vE '^ *([0-9]+/[0-9]+ Test +#|Start +[0-9]+:)' || true
  result=$(grep -E 'tests passed|tests failed' "$logs/test-$config.log" | tail -n 1)
  if ! grep -q "100% tests passed" "$logs/test-$config.log"; then failed=1; fi
  summary+=("$config: ${result:-no result}")
done

echo "== handset-armel: cross-build the daemon against stand-ins of the phone libraries"
if cmake --preset handset-armel >"$logs/build-handset-armel.log" 2>&1 &&
   cmake --build --preset handset-armel -j "$jobs" >>"$logs/build-handset-armel.log" 2>&1; then
  arm-linux-gnueabi-strip -o build/handset-armel/ulv.stripped build/handset-armel/src/ulv
  size=$(stat -c %s build/handset-armel/ulv.stripped)
  # The phone offers the C library and its two own libraries, by these names, and nothing else.
  needed=$(arm-linux-gnueabi-readelf -d build/handset-armel/src/ulv | sed -n 's/.*(\(NEEDED\|RUNPATH\|RPATH\)).*\[\(.*\)\]/\1=\2/p' | sort | tr '\n' ' ')
  if [ "$needed" != "NEEDED=libaplog.so NEEDED=libc.so.6 NEEDED=libzeltapi-xscale-r.so " ] || [ "$size" -ge 102400 ]; then
    summary+=("handset-armel: FAILED: $size bytes stripped (limit 102400), dynamic section: $needed")
    failed=1
  else
    summary+=("handset-armel: built, stripped daemon build/handset-armel/ulv.stripped is $size bytes, needs $needed")
  fi
else
  tail -n 40 "$logs/build-handset-armel.log"
  summary+=("handset-armel: BUILD FAILED (see $logs/build-handset-armel.log)")
  failed=1
fi

stop_postgres

echo
echo "== summary"
printf '%s\n' "${summary[@]}"
exit $failed
