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
          libsnmp-dev snmptrapd snmp libsystemd-dev systemd-journal-remote)
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

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVQ_SANITIZE="$sanitize" >/dev/null
log="$build_dir/build.log"
if ! cmake --build "$build_dir" -j "$(nproc)" >"$log" 2>&1; then
  grep -E -B2 -A6 'error|Error' "$log" | head -80 >&2
  echo "setup: build failed (full log: $log)" >&2
  exit 1
fi
echo "setup: built in $build_dir"
