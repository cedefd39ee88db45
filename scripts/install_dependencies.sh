#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with, when any is
# missing. Runs apt-get as root (directly, or through sudo for other users).
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  nlohmann-json3-dev libasio-dev libspdlog-dev libcli11-dev
  libsqlite3-dev sqlite3 libpq-dev postgresql libmariadb-dev mariadb-server
  libgtest-dev libgmock-dev libbenchmark-dev
  clang-14 libclang-rt-14-dev valgrind graphviz help2man zsh fish
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "installing: ${missing[*]}" >&2
run_as_root() {
  if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi
}
export DEBIAN_FRONTEND=noninteractive
run_as_root apt-get update -q
run_as_root apt-get install -y -q --no-install-recommends "${missing[@]}"
