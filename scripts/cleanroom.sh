#!/usr/bin/env bash
# Tries the README's commands as a newcomer would, on a fresh minimal
# Debian 12: builds a minbase root, clones this checkout's HEAD into it and
# runs, inside it, scripts/demo.sh, the twin's demo on the DIO fault board
# (scripts/demo.sh --machine imx6ul ... --verdict-status, which must end with
# its known FAIL verdict) and then scripts/test.sh CONFIG..., with nothing
# installed beforehand but what debootstrap puts there. Prints each command's
# outcome and time; exits non-zero when any fails. Needs root.
#   scripts/cleanroom.sh [CONFIG...]     (test.sh configurations; default: host)
# debootstrap takes the Debian archive from this machine's apt configuration.
# Downloads are kept in CLEANROOM_CACHE (default /var/cache/rigchkex-cleanroom):
# the finished base root as a tarball, the packages apt fetched inside it and
# the twin's kernel packages (twin-deps.sh checks each against the archive's
# index), so a later run only unpacks and installs; without the cache it
# builds all anew.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

configs=("$@")
(( ${#configs[@]} )) || configs=(host)

suite=bookworm
cache=${CLEANROOM_CACHE:-/var/cache/rigchkex-cleanroom}
base=$cache/$suite-minbase.tar.gz
inside=/root/rigchkEx    # where the checkout lies in the root
twin_debs=/var/cache/rigchkex-twin/debs  # twin-deps.sh's downloads in the root
# The twin's demo and its known verdict: fixture/boards/dio-faults.json fails
# every DIO channel but DI-1.
twin_demo="scripts/demo.sh --machine imx6ul --board fixture/boards/dio-faults.json --verdict-status"
twin_status=1
twin_failed="DO-1 DO-2 DI-2 DI-3 DI-4"

for tool in debootstrap git chroot mount; do
  command -v "$tool" >/dev/null || { echo "cleanroom: $tool is missing (apt-get install debootstrap git)" >&2; exit 1; }
done
(( EUID == 0 )) || { echo "cleanroom: run as root" >&2; exit 1; }

work=$(mktemp -d /var/tmp/rigchkex-cleanroom.XXXXXX)
root=$work/root
child=

# Ends what still runs in the root and unmounts it; runs on every exit.
cleanup() {
  trap - EXIT INT TERM
  if [[ -n "$child" ]] && kill -0 "$child" 2>/dev/null; then
    kill -TERM -- "-$child" 2>/dev/null || true
    sleep 2
    kill -KILL -- "-$child" 2>/dev/null || true
  fi
  # Processes started in the root that left the process group.
  for p in /proc/[0-9]*; do
    [[ "$(readlink "$p/root" 2>/dev/null)" == "$root" ]] && kill -KILL "${p#/proc/}" 2>/dev/null || true
  done
  if mountpoint -q "$root"; then
    umount -R "$root" 2>/dev/null || { sleep 1; umount -R "$root" 2>/dev/null; } || umount -R -l "$root"
  fi
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT
trap 'echo "cleanroom: interrupted" >&2; exit 130' INT
trap 'echo "cleanroom: terminated" >&2; exit 143' TERM

# Prints "=== cleanroom: WHAT: ok|FAILED (exit N) in S s" for a step just done.
report() {
  local what=$1 rc=$2 started=$3
  local outcome=ok
  (( rc == 0 )) || outcome="FAILED (exit $rc)"
  echo "=== cleanroom: $what: $outcome in $(( $(date +%s) - started )) s"
}

# The base root: unpacked from the cache, or made by debootstrap (and cached).
started=$(date +%s)
mkdir -p "$root" "$cache/debs" "$cache/apt-archives" "$cache/twin-debs"
if [[ -s "$base" ]]; then
  tar -C "$root" -xzpf "$base"
  how="unpacked from $base"
else
  mirror=$(scripts/apt-mirror.sh "$suite") || exit 1  # the archive this machine's apt uses
  debootstrap --variant=minbase --cache-dir="$cache/debs" "$suite" "$root" "$mirror" >"$work/debootstrap.log" 2>&1 ||
    { tail -20 "$work/debootstrap.log" >&2; echo "cleanroom: debootstrap failed" >&2; exit 1; }
  tar -C "$root" -czpf "$base.tmp" . && mv "$base.tmp" "$base"
  how="debootstrap $suite from $mirror"
fi
report "minimal Debian 12 root ($how)" 0 "$started"

# bubblewrap in the root needs it to be a mount point; /dev and /sys are bound
# as slaves, so unmounting them here never reaches the host's.
mount --bind "$root" "$root"
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev" && mount --make-rslave "$root/dev"
mount --rbind /sys "$root/sys" && mount --make-rslave "$root/sys"
mount --bind "$cache/apt-archives" "$root/var/cache/apt/archives"
mkdir -p "$root$twin_debs"
mount --bind "$cache/twin-debs" "$root$twin_debs"
cp /etc/resolv.conf "$root/etc/resolv.conf"

git clone -q --no-local "$repo" "$root$inside"
git -C "$root$inside" checkout -q --detach "$(git -C "$repo" rev-parse HEAD)"
echo "=== cleanroom: checkout $(git -C "$root$inside" log -1 --format='%h %s') in $inside"

# Runs one command in the checkout inside the root, with a newcomer's
# environment; returns its exit status.
run_inside() {
  local rc=0
  setsid chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/bash -c "cd $inside && $*" </dev/null &
  child=$!
  wait "$child" || rc=$?
  child=
  return "$rc"
}

# Prints the failed ports of the newest run of board $1 in the root's checkout
# (its verdict.txt), on one line; nothing when there is no such run.
failed_ports() {
  local verdict
  verdict=$(ls -td "$root$inside/runs/$1"-*/ 2>/dev/null | head -n1)
  [[ -n $verdict && -f $verdict/verdict.txt ]] || return 0
  awk '/^failed ports/ { on = 1; next } on && /^  / { printf "%s%s", sep, $1; sep = " "; next } on { exit }' \
    "$verdict/verdict.txt"
}

failed=0
for cmd in "scripts/demo.sh" "$twin_demo" "scripts/test.sh ${configs[*]}"; do
  echo "=== cleanroom: $cmd"
  started=$(date +%s)
  rc=0
  run_inside "$cmd" || rc=$?
  if [[ $cmd == "$twin_demo" ]]; then
    ports=$(failed_ports dio-faults)
    if (( rc == twin_status )) && [[ $ports == "$twin_failed" ]]; then
      rc=0
    else
      echo "cleanroom: the twin's demo ended with status $rc and failed ports \"$ports\";" \
        "expected status $twin_status and \"$twin_failed\"" >&2
      (( rc != 0 )) || rc=1
    fi
  fi
  report "$cmd" "$rc" "$started"
  (( rc == 0 )) || failed=1
done
exit "$failed"
