#!/usr/bin/env bash
# The Debian package as an administrator gets it: built with cpack from the build tree,
# then checked with dpkg-deb (control fields, scripts, contents), unpacked, its programs
# resolved against its own libraries, and its post-install step run twice on a machine
# root to show that a second run keeps what an administrator changed.
#   package_test.sh BUILD_DIR
set -euo pipefail
build="$(cd "$1" && pwd)"
work="$(mktemp -d /tmp/vqpkg.XXXXXX)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
deb="$(ls "$work"/out/vq-suite_*_amd64.deb 2>/dev/null | head -1)"
[ -f "$deb" ] || fail "no package in $work/out"

# ---- control fields and scripts
info="$(dpkg-deb -I "$deb")"
for field in 'Package: vq-suite' 'Architecture: amd64' 'Section: admin'; do
  grep -q "^ $field\$" <<<"$info" || fail "control lacks '$field'"
done
depends="$(dpkg-deb -f "$deb" Depends)"
for dep in libsqlite3-0 libsnmp40 libsystemd0; do
  grep -qw "$dep" <<<"$depends" || fail "Depends lacks $dep: $depends"
done
mkdir "$work/control"
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || fail "$script is missing or not executable"
  sh -n "$work/control/$script" || fail "$script does not parse"
done
grep -qx '/etc/vq/Quillon.ini' "$work/control/conffiles" || fail "Quillon.ini is not a conffile"
grep -q 'vq-init-root /var/lib/vq' "$work/control/postinst" || fail "postinst does not initialise /var/lib/vq"

# ---- contents
contents="$(dpkg-deb -c "$deb" | awk '{print $6}')"
expect=(./usr/lib/vq/bin/mordane ./usr/lib/vq/bin/corvane ./usr/lib/vq/bin/quillon ./usr/lib/vq/bin/vqsnmpd
        ./usr/lib/vq/bin/taskctrl ./usr/lib/vq/bin/vqreg ./usr/lib/vq/bin/vqevent ./usr/lib/vq/bin/vqsc
        ./usr/lib/vq/bin/vqtrap ./usr/lib/vq/bin/vqjournal ./usr/lib/vq/bin/vqled ./usr/lib/vq/bin/vqtray ./usr/lib/vq/bin/vq-init-root
        ./usr/lib/vq/lib/libvqpal.so ./usr/lib/vq/lib/libvqbase.so ./usr/lib/vq/lib/libnorvik.so
        ./usr/lib/vq/lib/libntdll.so ./usr/lib/vq/lib/libdbgtrace.so ./usr/lib/vq/lib/libledpanel.so
        ./usr/lib/vq/lib/libtelvane.so ./usr/bin/mordane ./usr/bin/vqreg ./usr/bin/corvane
        ./usr/share/vq/gatherer/Mordane.mc ./usr/share/vq/gatherer/Mordane.reg ./usr/share/vq/gatherer/Mordane.ini
        ./usr/share/vq/agent/Corvane.reg ./usr/share/vq/snmp/vqsnmpd-default.reg ./etc/vq/Quillon.ini
        ./lib/systemd/system/mordane.service ./lib/systemd/system/corvane.service
        ./lib/systemd/system/vqsnmpd.service ./lib/systemd/system/taskctrl.service ./lib/systemd/system/vqjournal.service ./usr/share/doc/vq/README.md)
for path in "${expect[@]}"; do
  grep -qx -- "$path" <<<"$contents" || fail "the package lacks $path"
done
grep -q -- '_test$\|/bench_\|_fuzz$' <<<"$contents" && fail "tests, benchmarks or fuzz targets are packaged"

# ---- unpacked: every program finds its libraries, the units name installed programs
root="$work/unpacked"
dpkg-deb -x "$deb" "$root"
for program in "$root"/usr/lib/vq/bin/*; do
  [ -L "$program" ] && continue
  file -b "$program" 2>/dev/null | grep -q ELF || head -c4 "$program" | grep -q ELF || continue
  missing="$(ldd "$program" | grep 'not found' || true)"
  [ -z "$missing" ] || fail "$(basename "$program"): $missing"
done
for unit in "$root"/lib/systemd/system/*.service; do
  exec_path="$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit")"
  grep -qx -- ".$exec_path" <<<"$contents" || fail "$(basename "$unit") starts $exec_path, which the package lacks"
done

# ---- the post-install step on a fresh machine root, then again after local changes
export VQ_SHARE_DIR="$root/usr/share/vq"
vqreg="$root/usr/lib/vq/bin/vqreg"
machine="$work/var-lib-vq"
"$root/usr/lib/vq/bin/vq-init-root" "$machine" > "$work/init1.log" || { cat "$work/init1.log"; fail "first init failed"; }
export VQ_ROOT="$machine"
"$vqreg" query 'HKLM\SYSTEM\CurrentControlSet\Services\Mordane' INIPATH >/dev/null || fail "the gatherer's key is missing"
"$vqreg" query 'HKLM\SOFTWARE\QIR\VQ FRAMEWORK\NORVIK\CurrentVersion' Pathname >/dev/null || fail "norvik is not configured"
"$vqreg" query 'HKLM\SOFTWARE\QIR\VQ FRAMEWORK\CORVANE' >/dev/null || fail "the agent's key is missing"
ini="$machine/drive_c/WINDOWS/system32/Mordane.ini"
[ -f "$ini" ] && [ -f "$machine/drive_c/WINDOWS/system32/Mordane.mc" ] || fail "the gatherer's files are missing"
[ -f "$machine/drive_c/WINDOWS/system32/libtelvane.so" ] || fail "the provider library is missing"

echo '; changed by the administrator' >> "$ini"
"$vqreg" add 'HKLM\SOFTWARE\QIR\VQ FRAMEWORK\NORVIK\CurrentVersion' --value Pathname --data local.dll >/dev/null
"$root/usr/lib/vq/bin/vq-init-root" "$machine" > "$work/init2.log" || { cat "$work/init2.log"; fail "second init failed"; }
grep -q 'changed by the administrator' "$ini" || fail "a second run replaced the ini file"
"$vqreg" query 'HKLM\SOFTWARE\QIR\VQ FRAMEWORK\NORVIK\CurrentVersion' Pathname | grep -q local.dll ||
  fail "a second run replaced a registry value"
grep -q '^kept HKLM' "$work/init2.log" || fail "the second run does not say what it kept"
echo "package ok: $(basename "$deb"), $(wc -l <<<"$contents") entries"
