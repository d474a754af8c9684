#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (build-fuzz/) and runs each one
# briefly from its seed corpus. Usage: scripts/fuzz.sh [seconds per target, default 20]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-20}"
for p in clang libclang-rt-14-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="${missing:-} $p"
done
if [ -n "${missing:-}" ]; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
scripts/setup.sh >/dev/null   # the packages the build needs
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVQ_FUZZ=ON -DVQ_SANITIZE=ON \
  -DVQ_BUILD_TESTS=OFF -DVQ_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j "$(nproc)" >build-fuzz/build.log 2>&1 || { tail -40 build-fuzz/build.log; exit 1; }
export VQ_ROOT="$(mktemp -d /tmp/vqfuzz.XXXXXX)"
status=0
while IFS='=' read -r name corpus; do
  [ -n "$name" ] || continue
  work="build-fuzz/corpus/$name"
  mkdir -p "$work"
  seeds=()
  [ -d "$corpus" ] && seeds+=("$corpus")
  echo "fuzz: $name for ${seconds}s"
  if ! "build-fuzz/bin/$name" -max_total_time="$seconds" -print_final_stats=0 "$work" "${seeds[@]}" \
       >"build-fuzz/$name.log" 2>&1; then
    tail -30 "build-fuzz/$name.log"
    status=1
  fi
done < build-fuzz/fuzz_targets.txt
rm -rf "$VQ_ROOT"
exit $status
