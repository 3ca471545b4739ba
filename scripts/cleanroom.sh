#!/usr/bin/env bash
# Tries the README's two commands as a newcomer would, on a fresh minimal
# Debian 12: builds a minbase root, clones this checkout's HEAD into it and
# runs, inside it, scripts/demo.sh and then scripts/test.sh CONFIG..., with
# nothing installed beforehand but what debootstrap puts there. Prints each
# command's outcome and time; exits non-zero when either fails. Needs root.
#   scripts/cleanroom.sh [CONFIG...]     (test.sh configurations; default: host)
# debootstrap takes the Debian archive from this machine's apt configuration.
# Downloads are kept in CLEANROOM_CACHE (default /var/cache/rigchkex-cleanroom):
# the finished base root as a tarball and the packages apt fetched inside it,
# so a later run only unpacks and installs; without the cache it builds all anew.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

configs=("$@")
(( ${#configs[@]} )) || configs=(host)

suite=bookworm
cache=${CLEANROOM_CACHE:-/var/cache/rigchkex-cleanroom}
base=$cache/$suite-minbase.tar.gz
inside=/root/rigchkEx    # where the checkout lies in the root

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
mkdir -p "$root" "$cache/debs" "$cache/apt-archives"
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

failed=0
for cmd in "scripts/demo.sh" "scripts/test.sh ${configs[*]}"; do
  echo "=== cleanroom: $cmd"
  started=$(date +%s)
  rc=0
  run_inside "$cmd" || rc=$?
  report "$cmd" "$rc" "$started"
  (( rc == 0 )) || failed=1
done
exit "$failed"
