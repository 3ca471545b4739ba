#!/usr/bin/env bash
# Prints the Debian archive this machine's apt takes packages from, for a
# suite: the first "deb" entry, in the order apt reads its configuration
# (sources.list, then sources.list.d/ by name; one-line *.list and deb822
# *.sources files), whose suites hold SUITE; failing that, the first one of a
# release suite (not -security, -updates or -backports), since the same
# archive serves other releases. Exits 1 with a message when there is none.
#   scripts/apt-mirror.sh [SUITE] [APT_ETC_DIR]     (defaults: bookworm, /etc/apt)
set -euo pipefail

suite=${1:-bookworm}
etc=${2:-/etc/apt}

files=()
[[ -f "$etc/sources.list" ]] && files+=("$etc/sources.list")
for f in "$etc"/sources.list.d/*; do  # by name, whatever their kind
  [[ -f "$f" && ( "$f" == *.list || "$f" == *.sources ) ]] && files+=("$f")
done

# Every "deb" entry as "URI SUITE..." lines, in apt's order.
entries() {
  local f
  for f in "${files[@]}"; do
    if [[ "$f" == *.sources ]]; then
      # deb822: stanzas apart by empty lines; Enabled: no leaves one out.
      awk 'function flush() {
             if (types ~ /(^| )deb( |$)/ && tolower(enabled) != "no" && uri != "") print uri, suites
             types = ""; uri = ""; suites = ""; enabled = ""
           }
           /^#/ { next }
           /^[ \t]*$/ { flush(); next }
           { key = tolower($1); sub(/:$/, "", key); $1 = ""; sub(/^ +/, "") }
           key == "types" { types = $0 }
           key == "uris" { split($0, u, " "); uri = u[1] }
           key == "suites" { suites = $0 }
           key == "enabled" { enabled = $0 }
           END { flush() }' "$f"
    else
      # One line per entry: deb [options] URI SUITE COMPONENTS...
      sed -e 's/#.*//' -e 's/\[[^]]*\]//' "$f" | awk '$1 == "deb" && NF >= 3 { print $2, $3 }'
    fi
  done
}

list=$(entries)
mirror=$(awk -v s="$suite" '{ for (i = 2; i <= NF; i++) if ($i == s) { print $1; exit } }' <<<"$list")
[[ -n "$mirror" ]] ||
  mirror=$(awk '{ for (i = 2; i <= NF; i++) if ($i !~ /-(security|updates|backports)$/ && $i !~ /\//) { print $1; exit } }' <<<"$list")
if [[ -z "$mirror" ]]; then
  echo "apt-mirror: no Debian archive for $suite in the apt configuration under $etc" >&2
  exit 1
fi
echo "${mirror%/}"
