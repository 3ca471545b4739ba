#!/usr/bin/env bash
# Builds the release archive of a static build with cpack, then checks it as
# a board would take it: the exact list of files with their modes, and,
# unpacked, the program (architecture, statically linked: no program
# interpreter, no shared library; stripped), the verdict command, the manual
# pages, the example settings, the copyright and the install note. The build tree's
# program is checked for static linking too.
#   check_archive.sh BUILD_DIR SCRATCH_DIR SOURCE_DIR VERSION ARCH PROGRAM
set -euo pipefail

build=$1
scratch=$2
source=$3
version=$4
arch=$5
program=$6

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

case "$arch" in
  armhf) machine=ARM ;;
  amd64 | x86_64) machine="Advanced Micro Devices X86-64" ;;
  *) echo "no expectations for architecture $arch" >&2; exit 2 ;;
esac

# Fails unless the ELF file $1 is for $machine and statically linked.
check_static() {
  local header segments dynamic
  header=$(readelf -hW "$1") || { fail "$1 is no ELF file"; return; }
  grep -q "Machine: *$machine\$" <<<"$header" || fail "$1 is not built for $arch: $(grep Machine <<<"$header")"
  # (Listings are read whole: grep -q would stop reading early and fail the pipe.)
  segments=$(readelf -lW "$1")
  grep -q '^ *LOAD ' <<<"$segments" || fail "$1: readelf shows no loadable segment"
  grep -q '^ *INTERP ' <<<"$segments" && fail "$1 asks for a program interpreter: $(grep -A1 '^ *INTERP ' <<<"$segments")"
  dynamic=$(readelf -dW "$1")
  grep -q '(NEEDED)' <<<"$dynamic" && fail "$1 needs shared libraries: $(grep '(NEEDED)' <<<"$dynamic")"
  return 0
}

check_static "$program"
if [[ "$arch" == armhf ]]; then
  # 64-bit time_t: the program calls the 64-bit time entry point of ioctl.
  symbols=$(readelf -sW "$program")
  grep -qw '__ioctl_time64' <<<"$symbols" || fail "armhf program is not built with 64-bit time_t"
fi

rm -rf "$scratch"
mkdir -p "$scratch"
cpack --config "$build/CPackConfig.cmake" -G TGZ -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; echo "FAIL: cpack" >&2; exit 1; }

top="rigchkEx-${version}-${arch}-static"
archive="$scratch/out/$top.tar.gz"
[[ -f "$archive" ]] || { ls -l "$scratch/out" >&2; echo "FAIL: no archive $archive" >&2; exit 1; }

# Exactly these files, with these modes.
expected="-rw-r--r-- $top/INSTALL.txt
-rw-r--r-- $top/share/doc/rigchkex/rigchkEx.ini.example
-rw-r--r-- $top/share/doc/rigchkex/copyright
-rw-r--r-- $top/share/man/man1/rigchkEx.1.gz
-rw-r--r-- $top/share/man/man1/rigchkEx-result.1.gz
-rwxr-xr-x $top/bin/rigchkEx
-rwxr-xr-x $top/bin/rigchkEx-result"
listing=$(tar -tvzf "$archive")
files=$(awk '$1 !~ /^d/ { print $1, $6 }' <<<"$listing" | sort)
[[ "$files" == "$(sort <<<"$expected")" ]] || fail "files in the archive:
$files
expected:
$expected"

root="$scratch/root"
mkdir -p "$root"
tar -xzf "$archive" -C "$root"
prog="$root/$top/bin/rigchkEx"
check_static "$prog"
sections=$(readelf -SW "$prog")
grep -q '\.debug_info' <<<"$sections" && fail "program is not stripped"

man="$root/$top/share/man/man1/rigchkEx.1.gz"
gzip -t "$man" || fail "manual page is not gzip"
cmp -s <(zcat "$man") "$source/man/rigchkEx.1" || fail "manual page differs from man/rigchkEx.1"
cmp -s "$root/$top/share/doc/rigchkex/rigchkEx.ini.example" "$source/packaging/rigchkEx.ini.example" ||
  fail "example settings differ from packaging/rigchkEx.ini.example"
cmp -s "$root/$top/bin/rigchkEx-result" "$source/selftest/rigchkEx-result" ||
  fail "bin/rigchkEx-result differs from selftest/rigchkEx-result"
cmp -s "$root/$top/share/doc/rigchkex/copyright" "$source/packaging/copyright" ||
  fail "copyright differs from packaging/copyright"
cmp -s "$root/$top/INSTALL.txt" "$source/packaging/INSTALL-static.txt" ||
  fail "INSTALL.txt differs from packaging/INSTALL-static.txt"

if ((failures)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "archive $(basename "$archive") checked"
