#!/usr/bin/env bash
# Installs what the build needs (quietly, only what is missing), then configures and
# builds. Usage: scripts/setup.sh [--sanitize] [--build-dir DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=OFF
build_dir=build
while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize) sanitize=ON; build_dir=build-asan ;;
    --build-dir) build_dir="$2"; shift ;;
    *) echo "setup.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

packages=(cmake make g++ pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev sqlite3
          libsnmp-dev snmptrapd snmp smitools libsystemd-dev systemd-journal-remote)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null 2>&1 || {
    $sudo apt-get update -qq >/dev/null
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  }
fi

# The IETF base MIBs for the MIB tests, fetched once into a cache outside the tree.
. scripts/lib/mibs.sh
# Not fatal: without them only the MIB tests fail, each saying what is missing.
vq_mibs > /dev/null || true

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVQ_SANITIZE="$sanitize" >/dev/null
log="$build_dir/build.log"
cmake --build "$build_dir" -j "$(nproc)" >"$log" 2>&1 &
build_pid=$!
if [ -t 1 ]; then
  # A progress line on a terminal; logs (CI) get one line instead of hundreds.
  while kill -0 "$build_pid" 2>/dev/null; do
    percent="$(grep -o '^\[ *[0-9]*%\]' "$log" 2>/dev/null | tail -1 | tr -dc 0-9 || true)"
    printf '\rsetup: building in %s, %s%% ' "$build_dir" "${percent:-0}"
    sleep 1
  done
  printf '\r\033[K'
else
  echo "setup: building in $build_dir (log: $log)"
fi
if ! wait "$build_pid"; then
  grep -E -B2 -A6 'error|Error' "$log" | head -80 >&2
  echo "setup: build failed (full log: $log)" >&2
  exit 1
fi
echo "setup: built in $build_dir"
