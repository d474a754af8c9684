# The IETF base MIBs that VQ-TRAP-MIB imports, kept in a cache outside the tree; sourced,
# not run. Debian ships none of them, npm's net-snmp package does (lib/mibs/*.mib).

vq_mib_modules=(SNMPv2-SMI SNMPv2-TC SNMPv2-CONF SNMPv2-MIB RFC1155-SMI RFC-1212 RFC-1215 RFC1213-MIB)

# Prints the cache folder: $VQ_MIB_CACHE, else $XDG_CACHE_HOME/vq-mibs, else ~/.cache/vq-mibs.
# CMake (tests/mib) applies the same rule.
vq_mib_cache() {
  printf '%s\n' "${VQ_MIB_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vq-mibs}"
}

# Makes sure the cache holds every module of vq_mib_modules under its own name (libsmi finds
# modules by file name, so without the .mib suffix), fetching net-snmp with "npm pack" only
# when one is missing. Prints the search path for SMIPATH and -M: the cache, then dist/snmp.
# On failure prints one line to stderr and returns 1.
vq_mibs() {
  local cache dist missing=() m tmp
  cache=$(vq_mib_cache)
  dist="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/dist/snmp"
  for m in "${vq_mib_modules[@]}"; do
    [ -s "$cache/$m" ] || missing+=("$m")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    if ! command -v npm > /dev/null; then
      echo "mibs: npm not found, cannot fetch the base MIBs (${missing[*]}) into $cache" >&2
      return 1
    fi
    tmp=$(mktemp -d) || return 1
    # net-snmp 3.x keeps the modules in lib/mibs; a later major may move them.
    if ! (cd "$tmp" && npm pack --loglevel=error net-snmp@3 > pack.out 2> pack.err) ||
       ! tar -xzf "$tmp/$(tail -n 1 "$tmp/pack.out")" -C "$tmp" package/lib/mibs 2> /dev/null; then
      echo "mibs: 'npm pack net-snmp@3' failed ($(grep -m1 -i err "$tmp/pack.err" 2>/dev/null || echo no output)): base MIBs not fetched into $cache" >&2
      rm -rf "$tmp"
      return 1
    fi
    mkdir -p "$cache" || { rm -rf "$tmp"; return 1; }
    for m in "${missing[@]}"; do
      if [ ! -s "$tmp/package/lib/mibs/$m.mib" ]; then
        echo "mibs: net-snmp has no lib/mibs/$m.mib: $cache is incomplete" >&2
        rm -rf "$tmp"
        return 1
      fi
      # Rename into place, so a test running meanwhile never reads half a module.
      cp "$tmp/package/lib/mibs/$m.mib" "$cache/.$m.$$" && mv -f "$cache/.$m.$$" "$cache/$m" || {
        rm -rf "$tmp"
        return 1
      }
    done
    rm -rf "$tmp"
  fi
  printf '%s:%s\n' "$cache" "$dist"
}
