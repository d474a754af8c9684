#!/usr/bin/env bash
# Reliability trials with real processes, each in a fresh machine root, each ending with a
# line of figures. Exits 1 when a trial found a fault.
#   scripts/trials.sh [--short] [kill] [input] [abandon] [load]   (default: every trial, full form)
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
#   abandon rounds in which a holder of each cross-process lock is SIGKILLed while it holds
#           it (norvik's trap mutex, the application log's file and flush mutexes, the
#           framework shared memory, and the registry and event-log stores: a write loop
#           or an open transaction): the next user must get on within 10 s (a Send through
#           vqsnmpd still delivers its trap, reporting 128 when the mutex was abandoned),
#           and both stores must pass PRAGMA integrity_check with no uncommitted row left.
#           Full: 100 rounds; short: 10.
#   load    two senders at full speed through Send and vqsnmpd to a counting receiver:
#           every trap arrives exactly once, vqsnmpd's VmRSS grows less than 1 MiB. Then
#           corvane watching the log "Mordane" while records are written at 5,000 a second,
#           as installed and with WRITE_APLLOG 0: every record becomes one trap, corvane's
#           VmRSS grows less than 1 MiB once a quarter of them are traps, and the rate the
#           agent sustained is reported. Full: 60 s and 60 s; short: 5 s and 1 s.
#
# VQ_TRIALS_BIN names a built bin directory to use as it is (no set-up step);
# VQ_TRIALS_SANITIZED=1 says its programs are sanitized: memory growth is shown, not judged.
set -euo pipefail
cd "$(dirname "$0")/.."
short=0
trials=()
for arg in "$@"; do
  case "$arg" in
    --short) short=1 ;;
    kill | input | abandon | load) trials+=("$arg") ;;
    *) echo "usage: scripts/trials.sh [--short] [kill] [input] [abandon] [load]" >&2; exit 2 ;;
  esac
done
[ ${#trials[@]} -gt 0 ] || trials=(kill input abandon load)
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
# A command that fails where nothing handles it ends the trials (set -e): say which. Where
# a trial has turned set -e off to judge a status itself, the trap keeps quiet.
set -E
trap '[[ $- != *e* ]] || echo "trials: line $LINENO: \"$BASH_COMMAND\" failed (exit $?); machine root kept: ${VQ_ROOT:-}" >&2' ERR

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

# ---- shared by abandon and load -----------------------------------------------------------
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0; }

# Starts vqtrial's counting receiver on a loopback port ($1: "" or --quiet) and points the
# SNMP host at norvik and at it, as vq_start_snmptrapd does. Sets recv_port, recv_pid.
start_receiver() {
  recv_port=$(( 20000 + RANDOM % 20000 ))
  "$bin/vqtrial" receive "$recv_port" ${1:-} > "$VQ_ROOT/receiver.out" 2> "$VQ_ROOT/receiver.err" &
  recv_pid=$!
  vq_wait_for "grep -qs receiving '$VQ_ROOT/receiver.out'" 10
  vq_point_snmp_host "$recv_port" > /dev/null
}
# Stops the receiver and waits until it has counted what was queued and written its
# summary line (receiver_summary). Called in the trial's own shell, never in a $(...):
# a subshell cannot wait for it and would read the summary before it is written.
stop_receiver() {
  kill -TERM "$recv_pid" 2>/dev/null || true
  wait "$recv_pid" 2>/dev/null || true
}
# Prints the receiver's summary line, or says on stderr why there is none.
receiver_summary() {
  local line
  line=$(grep '^received ' "$VQ_ROOT/receiver.out" | tail -1 || true)
  if [ -z "$line" ]; then
    echo "   the receiver wrote no summary: $(head -3 "$VQ_ROOT/receiver.err" 2>/dev/null)" >&2
    return 1
  fi
  echo "$line"
}
service_start() {  # PROGRAM SERVICE-NAME: starts it, waits until it reports running; sets svc_pid
  "$bin/$1" >> "$VQ_ROOT/$1.out" 2>&1 &
  svc_pid=$!
  vq_wait_for "vq_running '$2'" 30
}

# ---- abandoned locks ----------------------------------------------------------------------
abandon_trial() {
  local rounds=100 bound=10000
  [ $short = 1 ] && rounds=10
  fresh_root
  start_receiver
  service_start vqsnmpd SNMP
  local snmpd=$svc_pid
  # Keepers hold references, so a killed holder's mutex outlives it (as the services' do).
  "$bin/vqtrial" keep applog > /dev/null &
  "$bin/vqtrial" keep shm > /dev/null &
  sleep 0.5
  local kinds=(trap applog applog-flush shm registry registry-txn eventlog eventlog-txn)
  declare -A longest abandoned
  local k r out t0 ms faults=0 corrupt=0 holder sends128=0 key='HKLM\SOFTWARE\VqTrial'
  for k in "${kinds[@]}"; do longest[$k]=0; abandoned[$k]=0; done
  fault() { faults=$((faults + 1)); echo "   abandon trial: round $r, $k: $*" >&2; }
  for ((r = 1; r <= rounds; r++)); do
    for k in "${kinds[@]}"; do
      # Emptied here, not only by the holder's own redirection, which happens in the child
      # some time after the "&": the wait below would otherwise find the last holder's
      # "held" and kill this one before it has taken its lock.
      : > "$VQ_ROOT/holder.out"
      "$bin/vqtrial" hold "$k" > "$VQ_ROOT/holder.out" 2> "$VQ_ROOT/holder.err" &
      holder=$!
      if ! vq_wait_for "grep -q held '$VQ_ROOT/holder.out'" 10 2> /dev/null; then
        fault "the holder never held: $(head -1 "$VQ_ROOT/holder.err")"
        kill -KILL "$holder" 2>/dev/null || true; wait "$holder" 2>/dev/null || true
        continue
      fi
      # The write loops die at a random point of a write.
      case $k in registry | eventlog) sleep "0.$((RANDOM % 3))$((RANDOM % 10))" ;; esac
      kill -KILL "$holder"
      wait "$holder" 2>/dev/null || true
      t0=$(now_ms)
      set +e
      case $k in
        registry | registry-txn)
          out=$(timeout -s KILL $((bound / 1000)) "$bin/vqreg" add "$key" --value "r$r" --type REG_DWORD --data "$r" 2>&1) ;;
        eventlog | eventlog-txn)
          out=$(timeout -s KILL $((bound / 1000)) "$bin/vqevent" write --source VqTrial --id 1 --string "after-$r" 2>&1) ;;
        *)
          out=$(timeout -s KILL $((bound / 1000 + 2)) "$bin/vqtrial" use "$k" --timeout "$bound" --marker "vqtrial:ab-$r" 2>&1) ;;
      esac
      local rc=$?
      set -e
      ms=$(( $(now_ms) - t0 ))
      [ "$ms" -gt "${longest[$k]}" ] && longest[$k]=$ms
      if [ $rc != 0 ]; then fault "the next user failed ($rc): $out"; continue; fi
      case "$out" in *abandoned*) abandoned[$k]=$((abandoned[$k] + 1)) ;; esac
      case "$out" in *"Send 128"*) sends128=$((sends128 + 1)) ;; esac
      case $k in
        trap)
          vq_wait_for "grep -qx 'vqtrial:ab-$r' '$VQ_ROOT/receiver.out'" $((bound / 1000)) 2> /dev/null ||
            fault "the trap sent after the abandoned mutex did not arrive" ;;
        registry | registry-txn)
          "$bin/vqreg" query "$key" "r$r" 2>/dev/null | grep REG_DWORD > /dev/null || fault "the value written is not there"
          [ "$(sqlite3 "$VQ_ROOT/registry.db" 'PRAGMA integrity_check')" = ok ] || { corrupt=1; fault "registry.db damaged"; }
          [ "$(sqlite3 "$VQ_ROOT/registry.db" "SELECT count(*) FROM keys WHERE name = 'vqtrial-uncommitted'")" = 0 ] ||
            { corrupt=1; fault "an uncommitted registry key survived"; } ;;
        eventlog | eventlog-txn)
          [ "$("$bin/vqevent" query Application 2>/dev/null | grep -c "^String 1: *after-$r\$")" -gt 0 ] || fault "the record written is not there"
          [ "$(sqlite3 "$VQ_ROOT/eventlog.db" 'PRAGMA integrity_check')" = ok ] || { corrupt=1; fault "eventlog.db damaged"; }
          [ "$(sqlite3 "$VQ_ROOT/eventlog.db" "SELECT count(*) FROM logs WHERE name = 'vqtrial-uncommitted'")" = 0 ] ||
            { corrupt=1; fault "an uncommitted log survived"; } ;;
      esac
    done
    [ $((r % 10)) = 0 ] && printf '   abandon trial: round %d of %d\n' "$r" "$rounds"
  done
  # Every value and record written after a kill is there.
  local values
  values=$("$bin/vqreg" query "$key" 2>/dev/null | grep -c '^ *r[0-9]* *REG_DWORD' || true)
  [ "$values" = "$rounds" ] || fault "$values registry values where $rounds were written"
  "$bin/vqsc" stop SNMP --wait 60 > /dev/null 2>&1 || fault "vqsnmpd did not stop"
  stop_receiver > /dev/null
  local line="" k2
  for k2 in "${kinds[@]}"; do line+=" $k2 ${longest[$k2]}"; done
  printf 'abandoned locks: %d rounds x %d locks, longest wait ms:%s; abandoned seen: trap %d, applog %d, applog-flush %d, shm %d; Send 128 %d of %d; %d registry values written after kills, stores %s, faults %d\n' \
    "$rounds" "${#kinds[@]}" "$line" "${abandoned[trap]}" "${abandoned[applog]}" "${abandoned[applog-flush]}" \
    "${abandoned[shm]}" "$sends128" "$rounds" "$values" "$([ $corrupt = 0 ] && echo ok || echo DAMAGED)" "$faults"
  if [ $faults != 0 ]; then echo "   machine root kept: $VQ_ROOT" >&2; failed=1; fi
}

# ---- load ---------------------------------------------------------------------------------
# GROWTH (kB): true when it reaches the bound; never for sanitized programs, whose
# quarantine keeps freed memory.
too_much_growth() { [ "${VQ_TRIALS_SANITIZED:-0}" != 1 ] && [ "$1" -ge "$growth_bound" ]; }
growth_note() { [ "${VQ_TRIALS_SANITIZED:-0}" != 1 ] || echo ", not judged: sanitized programs"; }
load_trial() {
  local seconds=60 watch_seconds=60 rate=5000 growth_bound=1024
  [ $short = 1 ] && { seconds=5; watch_seconds=1; }
  local faults=0
  # Two senders at full speed through Send and vqsnmpd.
  fresh_root
  start_receiver --quiet
  service_start vqsnmpd SNMP
  local snmpd=$svc_pid
  "$bin/vqtrial" send 2000 --tag warm > /dev/null || { echo "   load trial: the warm-up sends failed" >&2; faults=$((faults + 1)); }
  local rss0 rss1
  rss0=$(rss_kb "$snmpd")
  "$bin/vqtrial" send 0 --seconds "$seconds" --tag a > "$VQ_ROOT/send-a.out" 2>&1 &
  local sa=$!
  "$bin/vqtrial" send 0 --seconds "$seconds" --tag b > "$VQ_ROOT/send-b.out" 2>&1 &
  local sb=$!
  wait "$sa" || faults=$((faults + 1))
  wait "$sb" || faults=$((faults + 1))
  sleep 1
  rss1=$(rss_kb "$snmpd")
  local summary sent handed distinct dups
  stop_receiver
  summary=$(receiver_summary) || faults=$((faults + 1))
  sent=$(cat "$VQ_ROOT/send-a.out" "$VQ_ROOT/send-b.out" | awk '/^sent / { n += $2 } END { print n + 0 }')
  handed=$(cat "$VQ_ROOT/send-a.out" "$VQ_ROOT/send-b.out" | awk '/^sent / { n += $7 + $9 } END { print n + 0 }')
  distinct=$(awk '{ print $4 }' <<< "$summary")
  dups=$(awk '{ print $7 }' <<< "$summary")
  distinct=$((distinct - 2000))   # the warm-up's
  "$bin/vqsc" stop SNMP --wait 60 > /dev/null 2>&1 || faults=$((faults + 1))
  local lost=$((handed - distinct)) growth=$((rss1 - rss0))
  printf 'trap load: 2 senders for %d s, %d Sends (%d handed over, %.0f a second), %d received once, lost %d, duplicates %d; vqsnmpd VmRSS %d -> %d kB (growth %d, bound %d%s)\n' \
    "$seconds" "$sent" "$handed" "$(awk -v n="$handed" -v s="$seconds" 'BEGIN { print n / s }')" "$distinct" "$lost" "$dups" "$rss0" "$rss1" "$growth" "$growth_bound" "$(growth_note)"
  if [ "$lost" != 0 ] || [ "$dups" != 0 ] || [ "$sent" != "$handed" ] || too_much_growth "$growth"; then
    faults=$((faults + 1)); cat "$VQ_ROOT/send-a.out" "$VQ_ROOT/send-b.out" >&2
  fi

  if [ $faults != 0 ]; then echo "   load trial: faults $faults; machine root kept: $VQ_ROOT" >&2; failed=1; fi

  # The agent's watch job on a fast-growing log, as installed and without the
  # application-log lines (each matched record's two lines are written through to disk,
  # which bounds the rate by the disk; see docs/agent.md).
  watch_load installed
  watch_load "WRITE_APLLOG 0"
}

# LABEL: "installed" or "WRITE_APLLOG 0". Writes rate x watch_seconds records to the log
# "Mordane" and waits until every one has become a trap, for as long as traps keep coming.
watch_load() {
  local label="$1" faults=0
  fresh_root
  vq_suite_configure
  [ "$label" = installed ] || "$bin/vqreg" add 'HKLM\SOFTWARE\QIR\VQ FRAMEWORK\CORVANE\EVENTLOG_FILTER_INF' \
    --value WRITE_APLLOG --type REG_DWORD --data 0 > /dev/null
  # The installed 512 KiB hold about a second of these records: a log that wraps over
  # records the agent has not read yet loses them by design. Room for the whole run (about
  # 100 bytes a record); the writer reads MaxSize when it registers its source.
  "$bin/vqreg" add 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Mordane' --value MaxSize --type REG_DWORD \
    --data $(( (rate * watch_seconds * 256 + 0xFFFFF) / 0x100000 * 0x100000 )) > /dev/null
  start_receiver
  service_start taskctrl TaskCtrl
  service_start vqsnmpd SNMP
  service_start corvane "FW NORVIK"
  local agent=$svc_pid
  vq_wait_for vq_agent_watching 30
  sleep 2
  local n=$((rate * watch_seconds)) t0 t_last count=0 last_count=-1 still=0 rss_start rss_quarter=0 rss_end wrote
  rss_start=$(rss_kb "$agent")
  t0=$(now_ms)
  wrote=$("$bin/vqtrial" write "$n" "$rate" --tag w) || faults=$((faults + 1))
  # Until every record has become a trap, or 30 s pass without a new one (what has not
  # arrived by then counts as lost). Memory is flat when it does not grow from the
  # moment a quarter of the records were traps (caches are warm then) to the end.
  local shown=$(now_ms)
  while :; do
    count=$(grep -c '^vqtrial:w-' "$VQ_ROOT/receiver.out" || true)
    if [ "$count" != "$last_count" ]; then t_last=$(now_ms); last_count=$count; still=0; fi
    [ "$rss_quarter" = 0 ] && [ "$count" -ge $((n / 4)) ] && rss_quarter=$(rss_kb "$agent")
    [ "$count" -ge "$n" ] && break
    still=$((still + 1)); [ $still -ge 30 ] && break
    if [ $(( $(now_ms) - shown )) -ge 30000 ]; then
      echo "   watch load ($label): $count of $n traps so far" >&2; shown=$(now_ms)
    fi
    sleep 1
  done
  rss_end=$(rss_kb "$agent")
  [ "$rss_quarter" = 0 ] && rss_quarter=$rss_end
  "$bin/vqsc" stop "FW NORVIK" --wait 60 > /dev/null 2>&1 || faults=$((faults + 1))
  "$bin/vqsc" stop SNMP --wait 60 > /dev/null 2>&1 || faults=$((faults + 1))
  "$bin/vqsc" stop TaskCtrl --wait 60 > /dev/null 2>&1 || faults=$((faults + 1))
  stop_receiver > /dev/null
  local wdistinct adups
  wdistinct=$(grep '^vqtrial:w-' "$VQ_ROOT/receiver.out" | sort -u | wc -l)
  adups=$((count - wdistinct))
  local elapsed=$((t_last - t0)) agrowth=$((rss_end - rss_quarter))
  printf 'watch load (%s): %d records written (%s), %d traps, lost %d, duplicates %d, agent sustained %.0f records a second; corvane VmRSS %d at start, %d at a quarter, %d at the end (growth %d, bound %d%s)\n' \
    "$label" "$n" "$(sed 's/^wrote [0-9]* records in //' <<< "$wrote")" "$count" "$((n - wdistinct))" "$adups" \
    "$(awk -v n="$wdistinct" -v ms="$elapsed" 'BEGIN { print (ms > 0 ? n * 1000 / ms : 0) }')" \
    "$rss_start" "$rss_quarter" "$rss_end" "$agrowth" "$growth_bound" "$(growth_note)"
  if [ "$wdistinct" != "$n" ] || [ "$adups" != 0 ] || too_much_growth "$agrowth"; then faults=$((faults + 1)); fi
  if [ $faults != 0 ]; then echo "   load trial: faults $faults; machine root kept: $VQ_ROOT" >&2; failed=1; fi
}

for t in "${trials[@]}"; do
  case "$t" in
    kill) kill_trial ;;
    input) input_trial ;;
    abandon) abandon_trial ;;
    load) load_trial ;;
  esac
done
if [ $failed = 0 ]; then
  kill $(jobs -p) 2>/dev/null || true   # whatever the trials left running goes first
  wait 2>/dev/null || true
  rm -rf "${roots[@]}" 2>/dev/null || true
fi
exit $failed
