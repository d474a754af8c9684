# The whole suite on one machine root, for the main job and the trials; sourced, not run.
# Needs $bin (the build's bin directory) and VQ_ROOT; run from the repository's top.

# Waits up to $2 seconds (default 30) until the command in $1 succeeds.
vq_wait_for() {
  local i
  for ((i = 0; i < ${2:-30} * 10; i++)); do eval "$1" && return 0; sleep 0.1; done
  echo "gave up waiting for: $1" >&2
  return 1
}

# True when the service NAME reports running.
vq_running() { "$bin/vqsc" query "$1" 2>/dev/null | grep -q 'STATE *: 4'; }

# Simulated hardware (docs/device.md, docs/iphlp.md, docs/wmi.md): each file is re-read at
# every poll, so rewriting one is a change of the hardware. Files are replaced whole.
vq_put() { mkdir -p "$VQ_ROOT/devices"; printf "${@:2}" > "$VQ_ROOT/devices/$1.new" && mv "$VQ_ROOT/devices/$1.new" "$VQ_ROOT/devices/$1"; }
vq_sensor() { vq_put drvsensor.conf 'provider = simulated\ncase_temperature = 34\ncpu_temperature = %s\ncpu_fan = %s\ncooling_fan = 1\npower_5v = 5020\npower_12v = 12050\n' "$1" "$2"; }
vq_nic() { vq_put iftable.conf 'provider = simulated\nif.1.index = 2\nif.1.up = %s\n' "$1"; }
vq_rtc() { vq_put rtcdrv.conf 'provider = simulated\nmachine_type = 2\ncmos.169 = %s\ncmos.170 = 18\ncmos.171 = 49\ncmos.172 = 35\n' "$1"; }
vq_usb() { vq_put usb.conf 'provider = simulated\nremovals = %s\n' "$1"; }

vq_agent_key='HKLM\SOFTWARE\QIR\VQ FRAMEWORK\CORVANE'

# Installs the gatherer's and the agent's configuration with one-second polling (the
# installed defaults are minutes) and no case-temperature record at every poll, and healthy
# simulated hardware with one SMART drive.
vq_suite_configure() {
  scripts/install-gatherer.sh "$bin/.." > /dev/null
  scripts/install-agent.sh "$bin/.." > /dev/null
  local ini
  ini="$(find "$VQ_ROOT/drive_c" -iname mordane.ini | head -1)"
  awk 'BEGIN { s = "" } /^\[/ { s = $0 }
    (s == "[CpuSensor]" || s == "[RtcSensor]" || s == "[NICStatus]") && /^INTERVAL=/ { print "INTERVAL=1"; next }
    s == "[NICStatus]" && /^Times=/ { print "Times=60"; next }
    s == "[CaseTemper]" && /^WATCH=/ { print "WATCH=0"; next }
    { print }' "$ini" > "$ini.new" && mv "$ini.new" "$ini"
  "$bin/vqreg" add "$vq_agent_key\\EVENTLOG_FILTER_INF" --value WATCH_INTERVAL --type REG_DWORD --data 1 > /dev/null
  "$bin/vqreg" add "$vq_agent_key" --value WAITTIME_AFTER_SNMP_STARTED --type REG_DWORD --data 0 > /dev/null
  vq_sensor 50 1000
  vq_nic 1
  vq_rtc 0
  vq_usb 0
  vq_put physmem.conf 'provider = simulated\nbios_version = A1\nsys_manufacturer = Maker\nsys_product = Model\nsys_version = 1.0\nsys_serial = ABC123\n'
  vq_put wininet.conf 'provider = simulated\nconnected = 1\n'
  printf '%s\n' 'drives = 1' 'drive1.attr.5 = 51 90 90 12' 'drive1.thresh.5 = 36' 'drive1.attr.9 = 50 97 97 23101' \
    'drive1.attr.197 = 18 100 100 3' > "$VQ_ROOT/devices/smart.conf"
}

# True once the agent has taken its first look at the log "Mordane": it reports only
# records newer than that look.
vq_agent_watching() {
  "$bin/vqreg" query "$vq_agent_key\\EVENTLOG_FILTER_INF" SHILOG_REC_NO 2>/dev/null | grep -q 'REG_DWORD *0x[1-9a-fA-F]'
}

# snmptrapd's format for the suite's SNMPv1 traps: "TRAP enterprise specific|binding|...".
VQ_TRAP_FORMAT='TRAP %N %q|%V|%v\n'

# One key per record of the log "Mordane" (event id, date, time, message), sorted, and the
# same key per trap in snmptrapd's output (bindings 7, 2, 3 and 11); comparing the two
# multisets tells lost records from repeated traps.
vq_record_keys() {
  "$bin/vqevent" query Mordane | awk '
    function flush() {
      # Without a text for the id the agent sends the strings, each followed by ";".
      if (m ~ /^The description for event .* cannot be found/) m = strs
      if (id != "") { gsub(/[ \t\r]+/, " ", m); sub(/ $/, "", m); print "0x" id "|" d "|" t "|" substr(m, 1, 200) }
      id = ""; m = ""; strs = ""
    }
    /^String [0-9]+:/ { s = $0; sub(/^String [0-9]+: +/, "", s); strs = strs s ";" }
    /^Record:/ { flush() }
    /^Generated:/ { d = $2; t = $3; gsub(/-/, "/", d) }
    /^Event ID:/ { id = toupper(substr($3, 3)) }
    /^Message:/ { sub(/^Message: +/, ""); m = $0; more = 1; next }
    more && /^           [^ ]/ { sub(/^ +/, ""); m = m " " $0; next }
    { more = 0 }
    END { flush() }' | sort
}
vq_trap_keys() {
  grep '^TRAP ' "$1" | awk -F'|' '
    function v(b) { sub(/^[^=]*= (STRING: )?/, "", b); gsub(/^"|"$/, "", b); return b }
    { m = v($12); gsub(/[ \t\r\n]+/, " ", m); sub(/ $/, "", m)
      print "0x" toupper(substr(v($8), 3)) "|" v($3) "|" v($4) "|" substr(m, 1, 200) }' | sort
}
