#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (build-fuzz/) and runs each one from its
# seed corpus, for a time or for a number of executions.
#   scripts/fuzz.sh [SECONDS] [--jobs J] [--only T,...]   seconds per target (default 20)
#   scripts/fuzz.sh --runs N [--jobs J] [--only T,...]    N executions per target (the
#                 trials' full form: 10000000, about three hours on two cores)
# --jobs J runs up to J targets at once (default 1); --only runs the named targets alone
# (as listed in build-fuzz/fuzz_targets.txt), so a long run can be split.
set -euo pipefail
cd "$(dirname "$0")/.."
usage() { echo "usage: scripts/fuzz.sh [SECONDS | --runs N] [--jobs J] [--only TARGET,...]" >&2; exit 2; }
budget=(-max_total_time=20)
label="20s"
jobs=1
only=""
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) [[ "${2:-}" =~ ^[0-9]+$ ]] || usage; budget=(-runs="$2"); label="$2 runs"; shift 2 ;;
    --jobs) [[ "${2:-}" =~ ^[1-9][0-9]*$ ]] || usage; jobs=$2; shift 2 ;;
    --only) [[ "${2:-}" =~ ^[a-z0-9_,]+$ ]] || usage; only=",$2,"; shift 2 ;;
    *) [[ "$1" =~ ^[0-9]+$ ]] || usage; budget=(-max_total_time="$1"); label="$1s"; shift ;;
  esac
done
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
# Each run keeps its own logs, so a short check never writes over a long run's figures.
logs="build-fuzz/logs/$(date +%Y%m%d-%H%M%S)-$$"
mkdir -p "$logs"
echo "fuzz: logs in $logs"
status=0
# One target: its output goes to $logs/NAME.log; at the end its last line of figures is
# shown, on failure the log's end.
run_target() {
  local name="$1" corpus="$2" work="build-fuzz/corpus/$1" seeds=() log="$logs/$1.log"
  # Crashes, leaks and slow inputs go beside the logs, not into the source tree.
  mkdir -p "$work" build-fuzz/artifacts
  [ -d "$corpus" ] && seeds+=("$corpus")
  echo "fuzz: $name for $label"
  if ! "build-fuzz/bin/$name" "${budget[@]}" -print_final_stats=0 \
       -artifact_prefix="build-fuzz/artifacts/$name-" "$work" "${seeds[@]}" >"$log" 2>&1; then
    tail -30 "$log"
    return 1
  fi
  echo "fuzz: $name: $(grep -a '^Done ' "$log" | tail -1)"
}
running=0
started=0
while IFS='=' read -r name corpus; do
  [ -n "$name" ] || continue
  [ -z "$only" ] || [[ "$only" == *",$name,"* ]] || continue
  if [ "$running" -ge "$jobs" ]; then
    wait -n || status=1
    running=$((running - 1))
  fi
  run_target "$name" "$corpus" &
  running=$((running + 1))
  started=$((started + 1))
done < build-fuzz/fuzz_targets.txt
while [ "$running" -gt 0 ]; do
  wait -n || status=1
  running=$((running - 1))
done
rm -rf "$VQ_ROOT"
if [ "$started" = 0 ]; then
  names="${only#,}"; names="${names%,}"
  echo "fuzz: no target named ${names//,/ or } (see build-fuzz/fuzz_targets.txt)" >&2
  exit 2
fi
exit $status
