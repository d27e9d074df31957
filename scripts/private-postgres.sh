# Sourced by test.sh and fleet-bench.sh: a private PostgreSQL server for one run, a fresh
# cluster in a temporary directory that listens only on a Unix socket there.
#
#   start_postgres LOG    starts it (initdb and pg_ctl output to LOG); sets ULV_FLEET_PG, a
#                         postgresql:// URI; returns non-zero when it did not start
#   stop_postgres         stops it and removes its directory (safe to call twice)
#
# PostgreSQL refuses to run as root: as root the cluster belongs to the postgres system user,
# otherwise to whoever runs the script.

pg_dir=""
pg_bin=""

as_pg() { if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi; }

stop_postgres() {
  if [ -n "$pg_dir" ]; then
    as_pg "$pg_bin/pg_ctl" -D "$pg_dir/data" -m fast -w stop >/dev/null 2>&1
    rm -rf "$pg_dir"
    pg_dir=""
  fi
}

start_postgres() {
  local log=$1
  pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
  [ -n "$pg_bin" ] || { echo "no PostgreSQL server installed" >"$log"; return 1; }
  pg_dir=$(mktemp -d /tmp/ulv-pg.XXXXXX) || return 1
  if [ "$(id -u)" -eq 0 ]; then chown postgres "$pg_dir" || return 1; fi
  # A throw-away cluster: no fsync; the C locale, so that both stores sort texts alike.
  as_pg "$pg_bin/initdb" -D "$pg_dir/data" -U ulv --auth=trust --locale=C -E UTF8 >"$log" 2>&1 &&
    as_pg "$pg_bin/pg_ctl" -D "$pg_dir/data" -l "$pg_dir/data/server.log" -w -t 60 \
      -o "-k $pg_dir -c listen_addresses='' -p 5432 -c fsync=off" start >>"$log" 2>&1 ||
    return 1
  ULV_FLEET_PG="postgresql:///postgres?host=$pg_dir&port=5432&user=ulv"
}
