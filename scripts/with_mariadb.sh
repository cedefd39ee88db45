#!/usr/bin/env bash
# Runs a command against a throwaway MariaDB server:
#
#   scripts/with_mariadb.sh CMD [ARGS...]
#
# Creates a data directory in a fresh temporary directory (under /dev/shm when
# TMPDIR is not set), starts a server on a unix socket inside it (no TCP port),
# creates the database "kelmarion_test", exports KELMARION_TEST_MYSQL_URL (a
# mysql:// URL for it, as root over that socket), runs the command, then stops
# the server and removes the directory.
# Exits with the command's status.
#
# Needs Debian's mariadb-server (mariadbd, mariadb-install-db, mariadb). The
# server runs as the calling user, or as the "mysql" system user when called as
# root. The system's own MariaDB service and its option files are never used.
# Grant tables are kept, so tests may create users with limited rights.
set -euo pipefail

if [[ $# -eq 0 ]]; then
  echo "usage: $0 CMD [ARGS...]" >&2
  exit 2
fi

find_program() {
  local name
  for name in "$@"; do
    if command -v "$name" >/dev/null 2>&1; then
      command -v "$name"
      return
    fi
    if [[ -x "/usr/sbin/$name" ]]; then
      echo "/usr/sbin/$name"
      return
    fi
  done
  echo "with_mariadb.sh: none of $* found (install mariadb-server)" >&2
  exit 1
}

server_bin=$(find_program mariadbd mysqld)
install_db=$(find_program mariadb-install-db mysql_install_db)
client_bin=$(find_program mariadb mysql)

# A throwaway server's data needs no durability: in memory (/dev/shm) unless
# TMPDIR says where, since InnoDB's syncs on each CREATE TABLE would otherwise
# dominate the tests that build schemas.
base_dir=${TMPDIR:-/tmp}
if [[ -z "${TMPDIR:-}" && -d /dev/shm && -w /dev/shm ]]; then
  base_dir=/dev/shm
fi
work_dir=$(mktemp -d "$base_dir/kelmarion-my.XXXXXX")
data_dir="$work_dir/data"
socket="$work_dir/mysqld.sock"
pid_file="$work_dir/mysqld.pid"
log_file="$work_dir/server.log"
db_name=kelmarion_test

if [[ $(id -u) -eq 0 ]]; then
  server_user=mysql
  chown "$server_user" "$work_dir"
  as_server() { (cd "$work_dir" && runuser -u "$server_user" -- "$@" </dev/null); }
else
  server_user=$(id -un)
  as_server() { "$@" </dev/null; }
fi
# The socket must be reachable by the caller; the data stays the server's.
chmod 711 "$work_dir"

# --no-defaults everywhere: the system's my.cnf (and its service settings) never applies.
server_options=(
  --no-defaults --datadir="$data_dir" --socket="$socket" --pid-file="$pid_file"
  --skip-networking --log-error="$log_file" --user="$server_user"
  --innodb-flush-log-at-trx-commit=0 --innodb-doublewrite=0 --innodb-buffer-pool-size=256M
  --innodb-log-file-size=64M --skip-log-bin --character-set-server=utf8mb4
  --collation-server=utf8mb4_bin --max-connections=100 --innodb-file-per-table=0
  --innodb-flush-method=nosync --sync-binlog=0
)

server_pid=
cleanup() {
  local status=$?
  if [[ -n "$server_pid" ]] && kill -0 "$server_pid" 2>/dev/null; then
    kill -TERM "$server_pid" 2>/dev/null || true
    for _ in $(seq 1 100); do
      kill -0 "$server_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work_dir"
  exit "$status"
}
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

if ! as_server "$install_db" --no-defaults --datadir="$data_dir" --user="$server_user" \
    --auth-root-authentication-method=socket --skip-test-db \
    >"$work_dir/install.log" 2>&1; then
  cat "$work_dir/install.log" >&2
  exit 1
fi

# mariadbd drops to --user itself when started as root; as another user it runs as that user.
if [[ $(id -u) -eq 0 ]]; then
  (cd "$work_dir" && exec "$server_bin" "${server_options[@]}" </dev/null >/dev/null 2>&1) &
else
  "$server_bin" "${server_options[@]}" </dev/null >/dev/null 2>&1 &
fi
server_pid=$!

for _ in $(seq 1 300); do
  [[ -S "$socket" ]] && break
  if ! kill -0 "$server_pid" 2>/dev/null; then
    cat "$log_file" >&2 2>/dev/null || true
    exit 1
  fi
  sleep 0.1
done
if [[ ! -S "$socket" ]]; then
  echo "with_mariadb.sh: the server did not open its socket in 30 seconds" >&2
  cat "$log_file" >&2 2>/dev/null || true
  exit 1
fi

# The install made the calling OS user an administrator with unix_socket
# authentication. Tests connect as the server's root with no password, which
# the server listens for on nothing but this private socket.
if ! "$client_bin" --no-defaults --socket="$socket" --user="$(id -un)" -e \
    "ALTER USER root@localhost IDENTIFIED VIA unix_socket OR mysql_native_password USING PASSWORD('');
     CREATE DATABASE $db_name CHARACTER SET utf8mb4 COLLATE utf8mb4_bin" >&2; then
  cat "$log_file" >&2 2>/dev/null || true
  exit 1
fi

export KELMARION_TEST_MYSQL_URL="mysql://root@localhost/$db_name?socket=$socket"

set +e
"$@" <&0 &
child=$!
wait "$child"
status=$?
set -e
exit "$status"
