#!/usr/bin/env bash
# Reliability trials with real processes, each in a fresh machine root, each ending with a
# line of figures. Exits 1 when a trial found a fault.
#   scripts/trials.sh [--short] [kill] [input]      (default: every trial, full form)
#
#   kill    rounds in which corvane, vqsnmpd, mordane or taskctrl is SIGKILLed at a random
#           moment while findings flow, then restarted; at the end every record of the log
#           "Mordane" (which the installed filter matches whole) must have reached snmptrapd:
#           lost must be 0, and repeats may not exceed one per kill of the agent or of the
#           SNMP host (the trap in flight; docs/agent.md). Full: 100 rounds; short: 12.
#   input   malformed files handed to the tools (.reg files to vqreg, queue files to vqjob,
#           event-log backups to vqevent, message modules and ini files to the programs
#           that read them): no crash, no hang, one clear line on a refusal, and the stores
#           untouched by what was refused. Full: 200 files of each kind; short: 25. The
#           parsers' fuzz targets are run by scripts/fuzz.sh (full form:
#           scripts/fuzz.sh --runs 10000000).
#
# VQ_TRIALS_BIN names a built bin directory to use as it is (no set-up step).
set -euo pipefail
cd "$(dirname "$0")/.."
short=0
trials=()
for arg in "$@"; do
  case "$arg" in
    --short) short=1 ;;
    kill | input) trials+=("$arg") ;;
    *) echo "usage: scripts/trials.sh [--short] [kill] [input]" >&2; exit 2 ;;
  esac
done
[ ${#trials[@]} -gt 0 ] || trials=(kill input)
if [ -n "${VQ_TRIALS_BIN:-}" ]; then
  bin="$(cd "$VQ_TRIALS_BIN" && pwd)"
else
  scripts/setup.sh
  bin="$PWD/build/bin"
fi
. scripts/lib/root.sh
. scripts/lib/suite.sh
failed=0
roots=()
cleanup_all() { kill $(jobs -p) 2>/dev/null || true; }
trap cleanup_all EXIT

fresh_root() {
  VQ_ROOT="$(mktemp -d /tmp/vqtrial.XXXXXX)"
  export VQ_ROOT
  roots+=("$VQ_ROOT")
}

# ---- kill trials --------------------------------------------------------------------------
kill_trial() {
  local rounds=100
  [ $short = 1 ] && rounds=12
  fresh_root
  vq_suite_configure
  export VQ_TRAPD_FORMAT1="$VQ_TRAP_FORMAT" VQ_TRAPD_MIBDIRS=""
  vq_start_snmptrapd > /dev/null
  local logs="$VQ_ROOT/trial-logs"
  mkdir -p "$logs"
  declare -A pid name program
  name=([taskctrl]=TaskCtrl [vqsnmpd]=SNMP [corvane]="FW NORVIK" [mordane]=Mordane)
  start() {  # PROGRAM: starts it and waits until it reports running; false when it never does
    local p="$1"
    VQ_MORDANE_GRACE_MS=500 "$bin/$p" >> "$logs/$p.out" 2>&1 &
    pid[$p]=$!
    vq_wait_for "vq_running '${name[$p]}'" 30
  }
  start taskctrl
  start vqsnmpd
  start corvane
  vq_wait_for vq_agent_watching 30
  vq_sensor 86 1000   # an over-temperature record at every one-second poll
  start mordane
  # A second stream: records with a unique insertion string, about ten a second.
  (i=0; while [ ! -f "$VQ_ROOT/.writer-stop" ]; do
     i=$((i + 1))
     "$bin/vqevent" write --source Mordane --id 0x40040099 --string "trial-$i" > /dev/null 2>&1 || true
     sleep 0.1
   done) &
  local writer=$! victims=(corvane vqsnmpd mordane taskctrl) r v restarts_failed=0
  declare -A kills=([corvane]=0 [vqsnmpd]=0 [mordane]=0 [taskctrl]=0)
  for ((r = 1; r <= rounds; r++)); do
    v=${victims[RANDOM % 4]}
    sleep "$(awk -v x=$RANDOM 'BEGIN { printf "%.2f", 0.3 + (x % 1200) / 1000 }')"
    kill -KILL "${pid[$v]}" 2>/dev/null || true
    wait "${pid[$v]}" 2>/dev/null || true
    kills[$v]=$((kills[$v] + 1))
    start "$v" || { restarts_failed=$((restarts_failed + 1)); echo "kill trial: $v did not come back in round $r" >&2; }
    [ $((r % 10)) = 0 ] && printf '   kill trial: round %d of %d\n' "$r" "$rounds"
  done
  touch "$VQ_ROOT/.writer-stop"
  wait "$writer" 2>/dev/null || true
  vq_sensor 50 1000
  sleep 2
  # Everything written must arrive: wait until no record is missing (or 90 s are over).
  local lost repeated records traps
  for _ in $(seq 90); do
    vq_record_keys > "$VQ_ROOT/records.keys"
    vq_trap_keys "$VQ_ROOT/snmptrapd.out" > "$VQ_ROOT/traps.keys"
    lost=$(comm -23 "$VQ_ROOT/records.keys" "$VQ_ROOT/traps.keys" | wc -l)
    [ "$lost" = 0 ] && break
    sleep 1
  done
  records=$(wc -l < "$VQ_ROOT/records.keys")
  traps=$(wc -l < "$VQ_ROOT/traps.keys")
  repeated=$(comm -13 "$VQ_ROOT/records.keys" "$VQ_ROOT/traps.keys" | wc -l)
  local bound=$((kills[corvane] + kills[vqsnmpd]))
  for p in mordane corvane vqsnmpd taskctrl; do
    "$bin/vqsc" stop "${name[$p]}" --wait 60 > /dev/null 2>&1 || { echo "kill trial: ${name[$p]} did not stop" >&2; restarts_failed=$((restarts_failed + 1)); }
  done
  touch "$VQ_ROOT/.writer-stop"
  kill "$trapd_pid" 2>/dev/null || true
  wait "$trapd_pid" 2>/dev/null || true
  printf 'kill trials: %d rounds (corvane %d, vqsnmpd %d, mordane %d, taskctrl %d kills), %d records, %d traps, lost %d, repeated %d (bound %d), failed restarts or stops %d\n' \
    "$rounds" "${kills[corvane]}" "${kills[vqsnmpd]}" "${kills[mordane]}" "${kills[taskctrl]}" "$records" "$traps" \
    "$lost" "$repeated" "$bound" "$restarts_failed"
  if [ "$lost" != 0 ] || [ "$repeated" -gt "$bound" ] || [ "$restarts_failed" != 0 ]; then
    comm -23 "$VQ_ROOT/records.keys" "$VQ_ROOT/traps.keys" | head -5 | sed 's/^/   lost: /' >&2
    echo "   machine root kept: $VQ_ROOT" >&2
    failed=1
  fi
}

# ---- bad input ----------------------------------------------------------------------------
# A malformed variant of a seed file: cut short, bytes flipped, random bytes spliced in,
# a line repeated, or nothing but random bytes.
mutate() {  # SEED OUT
  local size cut
  size=$(stat -c %s "$1")
  case $((RANDOM % 5)) in
    0) head -c $((size > 0 ? RANDOM % size : 0)) "$1" > "$2" ;;
    1) cp "$1" "$2"
       for _ in 1 2 3 4; do
         [ "$size" -gt 0 ] && printf "\\x$(printf %02x $((RANDOM % 256)))" |
           dd of="$2" bs=1 seek=$((RANDOM % size)) conv=notrunc status=none
       done ;;
    2) cut=$((size > 0 ? RANDOM % size : 0))
       { head -c "$cut" "$1"; head -c $((RANDOM % 512)) /dev/urandom; tail -c +$((cut + 1)) "$1"; } > "$2" ;;
    3) { cat "$1"; for _ in $(seq $((RANDOM % 200))); do head -n 3 "$1"; done; } > "$2" ;;
    4) head -c $((RANDOM % 4096)) /dev/urandom > "$2" ;;
  esac
}

# Runs a tool on a malformed input; counts crashes (signals), hangs (10 s) and refusals
# without a message.
crashes=0 hangs=0 silent=0 runs=0 last_rc=0
judge() {  # LABEL COMMAND...
  local label="$1" rc err
  shift
  err="$VQ_ROOT/judge.err"
  set +e
  timeout -s KILL 10 "$@" > /dev/null 2> "$err"
  rc=$?
  set -e
  last_rc=$rc
  runs=$((runs + 1))
  if [ $rc = 137 ]; then hangs=$((hangs + 1)); echo "   hang: $label: $*" >&2
  elif [ $rc -ge 128 ]; then crashes=$((crashes + 1)); echo "   crash ($rc): $label: $*" >&2
  elif [ $rc != 0 ] && [ ! -s "$err" ]; then silent=$((silent + 1)); echo "   no message: $label: $*" >&2
  fi
}

input_trial() {
  local n=200
  [ $short = 1 ] && n=25
  fresh_root
  scripts/install-gatherer.sh "$bin/.." > /dev/null
  "$bin/vqevent" write --source Mordane --id 0x40040008 --string kept > /dev/null
  local work="$VQ_ROOT/inputs" i f
  mkdir -p "$work"
  local before_log
  before_log="$("$bin/vqevent" info Mordane)"
  local reg_seeds=(pal/registry/fuzz/corpus/*/*.reg gatherer/install/Mordane.reg agent/install/Corvane.reg)
  local evt_seeds=(pal/eventlog/fuzz/corpus/evt/*)
  local queue_seeds=(framework/fuzz/corpus/quefile/*)
  local mc_seeds=(gatherer/messages/Mordane.mc)
  local ini_seeds=(gatherer/install/Mordane.ini eventmon/install/Quillon.ini)
  local changed=0
  for ((i = 0; i < n; i++)); do
    # .reg files: a refused import leaves the registry as it was.
    f="$work/r$i.reg"
    mutate "${reg_seeds[RANDOM % ${#reg_seeds[@]}]}" "$f"
    "$bin/vqreg" export 'HKLM\SYSTEM' "$VQ_ROOT/pre.reg" > /dev/null
    judge vqreg "$bin/vqreg" import "$f"
    if [ "$last_rc" != 0 ]; then
      "$bin/vqreg" export 'HKLM\SYSTEM' "$VQ_ROOT/post.reg" > /dev/null
      cmp -s "$VQ_ROOT/pre.reg" "$VQ_ROOT/post.reg" || { changed=1; echo "   a refused import changed the registry: $f" >&2; }
    fi
    # Event-log backups: printed or refused, never imported when damaged.
    f="$work/e$i.evt"
    mutate "${evt_seeds[RANDOM % ${#evt_seeds[@]}]}" "$f"
    judge "vqevent query --file" "$bin/vqevent" query --file "$f"
    judge "vqevent import" "$bin/vqevent" import Application "$f"
    # Queue files.
    if [ ${#queue_seeds[@]} -gt 0 ] && [ -f "${queue_seeds[0]}" ]; then
      f="$work/q$i.jpq"
      mutate "${queue_seeds[RANDOM % ${#queue_seeds[@]}]}" "$f"
      judge "vqjob queue" "$bin/vqjob" queue "$f"
    fi
    # A damaged message module: records still print (with the text missing).
    mutate "${mc_seeds[0]}" "$(vq_system32)/Mordane.mc"
    judge "message module" "$bin/vqevent" query Mordane
  done
  # The Mordane log holds its record still (backups were imported into Application only).
  [ "$("$bin/vqevent" info Mordane)" = "$before_log" ] || { changed=1; echo "   the log Mordane changed" >&2; }
  # A damaged ini file: the gatherer starts, keeps running and stops on SIGTERM.
  local ini
  ini="$(find "$VQ_ROOT/drive_c" -iname mordane.ini | head -1)"
  for ((i = 0; i < n / 25 + 1; i++)); do
    mutate "${ini_seeds[0]}" "$ini"
    VQ_MORDANE_GRACE_MS=500 "$bin/mordane" > /dev/null 2>&1 &
    local g=$!
    sleep 1
    runs=$((runs + 1))
    if kill -0 "$g" 2>/dev/null; then
      kill -TERM "$g"
      set +e; timeout 20 tail --pid="$g" -f /dev/null; local trc=$?; set -e
      [ $trc = 124 ] && { hangs=$((hangs + 1)); kill -KILL "$g"; echo "   hang: mordane with a damaged ini" >&2; }
    fi
    set +e; wait "$g"; local grc=$?; set -e
    [ $grc -ge 128 ] && [ $grc != 143 ] && { crashes=$((crashes + 1)); echo "   crash ($grc): mordane with a damaged ini" >&2; }
  done
  printf 'bad input: %d runs on malformed files, %d crashes, %d hangs, %d refusals without a message, stores %s\n' \
    "$runs" "$crashes" "$hangs" "$silent" "$([ $changed = 0 ] && echo untouched || echo CHANGED)"
  [ $((crashes + hangs + silent + changed)) = 0 ] || failed=1
}

for t in "${trials[@]}"; do
  case "$t" in
    kill) kill_trial ;;
    input) input_trial ;;
  esac
done
if [ $failed = 0 ]; then
  kill $(jobs -p) 2>/dev/null || true   # whatever the trials left running goes first
  wait 2>/dev/null || true
  rm -rf "${roots[@]}" 2>/dev/null || true
fi
exit $failed
