#!/usr/bin/env bash
# Runs a command against a throwaway PostgreSQL cluster:
#
#   scripts/with_postgres.sh CMD [ARGS...]
#
# Creates a cluster in a fresh temporary directory, listening only on a unix
# socket inside it, creates the database "kelmarion_test", exports
# KELMARION_TEST_PG_URL (a libpq URI for that database), runs the command, then
# stops the cluster and removes the directory. Exits with the command's status.
#
# Needs the PostgreSQL server binaries (initdb, pg_ctl); PG_BIN picks a
# directory, otherwise the newest installed version is used. The server runs as
# the calling user, or as the "postgres" system user when called as root (the
# server refuses to run as root). Nothing is read from stdin.
set -euo pipefail

if [[ $# -eq 0 ]]; then
  echo "usage: $0 CMD [ARGS...]" >&2
  exit 2
fi

find_bin_dir() {
  if [[ -n "${PG_BIN:-}" ]]; then
    echo "$PG_BIN"
    return
  fi
  local candidate
  for candidate in $(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V -r); do
    if [[ -x "$candidate/initdb" && -x "$candidate/pg_ctl" ]]; then
      echo "$candidate"
      return
    fi
  done
  if command -v initdb >/dev/null 2>&1; then
    dirname "$(command -v initdb)"
    return
  fi
  echo "with_postgres.sh: no PostgreSQL server binaries found (install the server or set PG_BIN)" >&2
  exit 1
}

bin_dir=$(find_bin_dir)
work_dir=$(mktemp -d "${TMPDIR:-/tmp}/kelmarion-pg.XXXXXX")
data_dir="$work_dir/data"
socket_dir="$work_dir"
log_file="$work_dir/server.log"
db_name=kelmarion_test

# as_server CMD...: runs CMD as the user that owns the cluster.
if [[ $(id -u) -eq 0 ]]; then
  server_user=postgres
  chown "$server_user" "$work_dir"
  # From inside the work directory: the server user may not enter the caller's.
  as_server() { (cd "$work_dir" && runuser -u "$server_user" -- "$@" </dev/null); }
else
  server_user=$(id -un)
  as_server() { "$@" </dev/null; }
fi
chmod 700 "$work_dir"

cleanup() {
  local status=$?
  if [[ -f "$data_dir/postmaster.pid" ]]; then
    as_server "$bin_dir/pg_ctl" -D "$data_dir" -m immediate -w stop >/dev/null 2>&1 || true
  fi
  rm -rf "$work_dir"
  exit "$status"
}
# A signal stops the command too (it runs in the background so that `wait` can be
# interrupted), then the EXIT trap stops the cluster.
child=
stop_command() {
  if [[ -n "$child" ]]; then
    kill -TERM "$child" 2>/dev/null || true
    wait "$child" 2>/dev/null || true
  fi
  exit "$1"
}
trap cleanup EXIT
trap 'stop_command 129' HUP
trap 'stop_command 130' INT
trap 'stop_command 143' TERM

if ! as_server "$bin_dir/initdb" -D "$data_dir" -U "$server_user" --auth=trust \
    --encoding=UTF8 --locale=C.UTF-8 --no-sync >"$work_dir/initdb.log" 2>&1; then
  cat "$work_dir/initdb.log" >&2
  exit 1
fi

if ! as_server "$bin_dir/pg_ctl" -D "$data_dir" -l "$log_file" -w -t 60 \
    -o "-c listen_addresses='' -c unix_socket_directories='$socket_dir' -c fsync=off -c synchronous_commit=off -c full_page_writes=off -c max_connections=50" \
    start >/dev/null; then
  cat "$log_file" >&2
  exit 1
fi

as_server "$bin_dir/createdb" -h "$socket_dir" -U "$server_user" "$db_name"

export KELMARION_TEST_PG_URL="postgresql:///$db_name?host=$socket_dir&user=$server_user"

# The command runs as the caller, with the caller's stdin; the trust rule lets it
# in as the cluster's superuser. Its status becomes ours through the EXIT trap.
set +e
"$@" <&0 &
child=$!
wait "$child"
status=$?
set -e
exit "$status"
