#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (build-fuzz/) and runs each one from its
# seed corpus, for a time or for a number of executions.
#   scripts/fuzz.sh [SECONDS]        seconds per target (default 20)
#   scripts/fuzz.sh --runs N         N executions per target (the trials' full form: 10000000)
set -euo pipefail
cd "$(dirname "$0")/.."
budget=(-max_total_time="${1:-20}")
label="${1:-20}s"
if [ "${1:-}" = --runs ]; then
  [[ "${2:-}" =~ ^[0-9]+$ ]] || { echo "usage: scripts/fuzz.sh [SECONDS | --runs N]" >&2; exit 2; }
  budget=(-runs="$2")
  label="$2 runs"
elif ! [[ "${1:-20}" =~ ^[0-9]+$ ]]; then
  echo "usage: scripts/fuzz.sh [SECONDS | --runs N]" >&2
  exit 2
fi
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
  echo "fuzz: $name for $label"
  if ! "build-fuzz/bin/$name" "${budget[@]}" -print_final_stats=0 "$work" "${seeds[@]}" \
       >"build-fuzz/$name.log" 2>&1; then
    tail -30 "build-fuzz/$name.log"
    status=1
  fi
done < build-fuzz/fuzz_targets.txt
rm -rf "$VQ_ROOT"
exit $status
