#!/usr/bin/env bash
# The receiving side at fleet scale (not part of the test suite): generates report texts for
# many handsets with the daemon's own encoder, ingests them into SQLite and into a private
# PostgreSQL server, and prints the ingest rate and the time of every summary query.
#
#   ./scripts/fleet-bench.sh                       1,000,000 reports from 100,000 handsets
#   ./scripts/fleet-bench.sh REPORTS HANDSETS      another size
#
# Builds an optimised ulv-fleet in build/bench. Installs missing Debian packages when run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh

reports=${1:-1000000}
handsets=${2:-100000}

ensure_packages cmake ninja-build g++ pkg-config libsqlite3-dev libpq-dev postgresql || exit 1

echo "== building ulv-fleet (optimised) in build/bench"
# -O2: GCC 12's -O3 raises false -Wrestrict warnings inside libstdc++, and warnings are errors.
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" \
  -DULV_BUILD_TESTS=OFF >/dev/null
cmake --build build/bench -j "${ULV_JOBS:-2}" --target ulv-fleet ulv-fleet-gen >/dev/null
fleet=build/bench/tools/fleet/ulv-fleet
gen=build/bench/tools/fleet/ulv-fleet-gen

work=$(mktemp -d /tmp/ulv-fleet-bench.XXXXXX)
. scripts/private-postgres.sh
cleanup() { stop_postgres; rm -rf "$work"; }
trap cleanup EXIT

echo "== generating $reports reports from $handsets handsets"
mkdir -p "$work/sim"  # the daemon's code logs through the sim platform
ULV_SIM_ROOT=$work "$gen" --handsets "$handsets" --reports "$reports" >"$work/fleet.csv"

# Ingests into $1, then times each summary query.
bench() {
  local name=$1 db=$2 start end
  echo "== $name: ingest"
  start=$(date +%s.%N)
  "$fleet" ingest --db "$db" "$work/fleet.csv" 2>/dev/null
  end=$(date +%s.%N)
  awk -v n="$reports" -v s="$start" -v e="$end" \
    'BEGIN { printf "%s: %d reports in %.1f s: %.0f reports/s\n", "'"$name"'", n, e - s, n / (e - s) }'
  echo "== $name: summary queries"
  "$fleet" summary --db "$db" --timings 2>&1 >/dev/null | sed "s/^/$name: /"
  "$fleet" html --db "$db" --timings "$work/fleet-$name.html" 2>&1 | grep -E "reports per day|roll-out" |
    sed "s/^/$name: /"
}

bench sqlite "$work/fleet.db"
ls -l "$work/fleet.db" | awk '{ printf "sqlite: store file %.0f MB\n", $5 / 1048576 }'

echo "== starting a private PostgreSQL server"
start_postgres "$work/postgres.log" || { cat "$work/postgres.log" >&2; exit 1; }
bench postgresql "$ULV_FLEET_PG"
