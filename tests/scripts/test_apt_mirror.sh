#!/usr/bin/env bash
# scripts/apt-mirror.sh on apt configurations of each kind: the archive the
# clean room's debootstrap takes is the one this machine's apt uses.
#   test_apt_mirror.sh APT_MIRROR_SCRIPT
set -euo pipefail

script=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

# check NAME SUITE WANT FILE=TEXT...: an apt folder holding the files; WANT
# is the printed archive, or "fail" when the script must refuse.
check() {
  local name=$1 suite=$2 want=$3
  shift 3
  local etc="$scratch/$name"
  mkdir -p "$etc/sources.list.d"
  local entry
  for entry in "$@"; do
    printf '%s\n' "${entry#*=}" >"$etc/${entry%%=*}"
  done
  local got rc=0
  got=$("$script" "$suite" "$etc" 2>/dev/null) || rc=$?
  if [[ "$want" == fail ]]; then
    ((rc == 1)) || { echo "FAIL: $name: printed '$got', exit $rc (a refusal wanted)"; failures=$((failures + 1)); }
  elif [[ "$got" != "$want" ]]; then
    echo "FAIL: $name: printed '$got' (exit $rc), want '$want'"
    failures=$((failures + 1))
  fi
}

deb822='Types: deb
# a comment inside the stanza
URIs: file:/srv/mirror-b/debian/ file:/srv/mirror-c/debian
Suites: bookworm bookworm-updates
Components: main

Types: deb
URIs: file:/srv/mirror-b/debian-security
Suites: bookworm-security
Components: main'

check one-line bookworm file:/srv/mirror-a/debian \
  "sources.list=# deb file:/srv/commented/debian bookworm main
deb-src file:/srv/source/debian bookworm main
deb [arch=amd64 signed-by=/usr/share/keyrings/k.gpg] file:/srv/mirror-a/debian bookworm main contrib"
check deb822 bookworm file:/srv/mirror-b/debian "sources.list.d/debian.sources=$deb822"
check security-suite bookworm-security file:/srv/mirror-b/debian-security "sources.list.d/debian.sources=$deb822"
check other-release-same-archive trixie file:/srv/mirror-b/debian "sources.list.d/debian.sources=$deb822"
check sources-list-first bookworm file:/srv/mirror-a/debian \
  "sources.list=deb file:/srv/mirror-a/debian bookworm main" "sources.list.d/a.sources=$deb822"
check files-by-name bookworm file:/srv/mirror-b/debian \
  "sources.list.d/a.sources=$deb822" "sources.list.d/b.list=deb file:/srv/mirror-a/debian bookworm main"
check disabled-stanza bookworm file:/srv/mirror-d/debian \
  "sources.list.d/a.sources=Enabled: no
Types: deb
URIs: file:/srv/off/debian
Suites: bookworm" \
  "sources.list.d/b.sources=types: deb deb-src
uris: file:/srv/mirror-d/debian
suites: bookworm"
check other-file-kinds-ignored bookworm fail "sources.list.d/x.list.save=deb file:/srv/old/debian bookworm main"
check only-security bookworm fail "sources.list=deb file:/srv/sec/debian-security bookworm-security main"
check nothing bookworm fail

((failures == 0)) || { echo "$failures case(s) failed"; exit 1; }
echo "apt-mirror: every case passed"
