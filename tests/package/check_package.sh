#!/usr/bin/env bash
# Builds the Debian package from a build tree with cpack, then checks it as
# a board image would take it: control fields, the exact list of files with
# their modes, lintian (no error, no warning), and, unpacked into a scratch
# root, the program (architecture, dynamically linked, stripped), the manual
# page, the example settings, the changelog and the copyright. Also checks
# that `cmake --install` lays out the same files.
#   check_package.sh BUILD_DIR SCRATCH_DIR SOURCE_DIR VERSION [DEBIAN_ARCH]
# DEBIAN_ARCH defaults to the build machine's.
set -euo pipefail

build=$1
scratch=$2
source=$3
version=$4
arch=${5:-$(dpkg --print-architecture)}

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

case "$arch" in
  armhf) machine=ARM interp=/lib/ld-linux-armhf.so.3 ;;
  amd64) machine="Advanced Micro Devices X86-64" interp=/lib64/ld-linux-x86-64.so.2 ;;
  *) echo "no expectations for architecture $arch" >&2; exit 2 ;;
esac

rm -rf "$scratch"
mkdir -p "$scratch"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; echo "FAIL: cpack" >&2; exit 1; }

deb="$scratch/out/rigchkex_${version}_${arch}.deb"
[[ -f "$deb" ]] || { ls -l "$scratch/out" >&2; echo "FAIL: no package $deb" >&2; exit 1; }

# Control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[[ "$(field Package)" == rigchkex ]] || fail "Package is '$(field Package)'"
[[ "$(field Version)" == "$version" ]] || fail "Version is '$(field Version)'"
[[ "$(field Architecture)" == "$arch" ]] || fail "Architecture is '$(field Architecture)'"
depends=$(field Depends)
depends_names=$(tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/[ (].*//')
for dep in libc6 libstdc++6 psmisc; do
  grep -qxF "$dep" <<<"$depends_names" || fail "Depends '$depends' lacks $dep"
done
[[ -n "$(field Maintainer)" ]] || fail "no Maintainer"

# Exactly these files, owned by root, with these modes.
doc=./usr/share/doc/rigchkex
expected="-rw-r--r-- $doc/rigchkEx.ini.example
-rw-r--r-- $doc/changelog.gz
-rw-r--r-- $doc/copyright
-rw-r--r-- ./usr/share/man/man1/rigchkEx.1.gz
-rw-r--r-- ./usr/share/man/man1/rigchkEx-result.1.gz
-rwxr-xr-x ./usr/bin/rigchkEx
-rwxr-xr-x ./usr/bin/rigchkEx-result"
listing=$(dpkg-deb -c "$deb")
files=$(awk '$1 !~ /^d/ { print $1, $6 }' <<<"$listing" | sort)
[[ "$files" == "$(sort <<<"$expected")" ]] || fail "files in the package:
$files
expected:
$expected"
awk '$2 != "root/root" { bad = 1 } END { exit bad }' <<<"$listing" || fail "entries not owned by root"

# Debian's own checks of the package.
if command -v lintian >/dev/null; then
  checked=$(lintian --fail-on error,warning "$deb" 2>&1) || fail "lintian:
$checked"
else
  fail "lintian is missing (scripts/deps.sh --tests)"
fi

# Unpacked into a scratch root.
root="$scratch/root"
dpkg -x "$deb" "$root"
prog="$root/usr/bin/rigchkEx"
header=$(readelf -hW "$prog")
grep -q "Machine: *$machine\$" <<<"$header" || fail "program is not built for $arch: $(grep Machine <<<"$header")"
grep -q "Type: *DYN" <<<"$header" || fail "program is not position independent"
# (Listings are read whole: grep -q would stop reading early and fail the pipe.)
segments=$(readelf -lW "$prog")
grep -qF "[Requesting program interpreter: $interp]" <<<"$segments" ||
  fail "program is not dynamically linked with $interp (the fixture preloads a library into it)"
sections=$(readelf -SW "$prog")
grep -q '\.debug_info' <<<"$sections" && fail "program is not stripped"
if [[ "$arch" == armhf ]]; then
  # 64-bit time_t: the program calls the 64-bit time entry point of ioctl.
  symbols=$(readelf --dyn-syms -W "$prog")
  grep -qw '__ioctl_time64' <<<"$symbols" || fail "armhf program is not built with 64-bit time_t"
fi

man="$root/usr/share/man/man1/rigchkEx.1.gz"
gzip -t "$man" || fail "manual page is not gzip"
cmp -s <(zcat "$man") "$source/man/rigchkEx.1" || fail "manual page differs from man/rigchkEx.1"
if command -v man >/dev/null; then
  rendered=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$man" 2>"$scratch/man.err")
  [[ -s "$scratch/man.err" ]] && fail "manual page warnings: $(cat "$scratch/man.err")"
  for text in NAME SYNOPSIS OPTIONS "OPERATOR SIGNALS" "EXIT STATUS" FILES \
      /etc/zrdio.conf rigchkEx.ini /NandFlash/tmp/rigChkEx.log /NandFlash/tmp/rigChkEx.log.bak \
      /NandFlash/tmp/rigChkEx.js "rigChkEx_HOST_YYYY-MM-DD hh:mm:ss.log" 255 "working directory" \
      "After the test" rigchkEx-result; do
    grep -qF -- "$text" <<<"$rendered" || fail "manual page does not mention '$text'"
  done
fi
cmp -s "$root/usr/bin/rigchkEx-result" "$source/selftest/rigchkEx-result" ||
  fail "rigchkEx-result differs from selftest/rigchkEx-result"
man="$root/usr/share/man/man1/rigchkEx-result.1.gz"
cmp -s <(zcat "$man") "$source/man/rigchkEx-result.1" || fail "manual page differs from man/rigchkEx-result.1"
if command -v man >/dev/null; then
  LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$man" >/dev/null 2>"$scratch/man.err"
  [[ -s "$scratch/man.err" ]] && fail "manual page warnings: $(cat "$scratch/man.err")"
fi
cmp -s "$root/$doc/rigchkEx.ini.example" "$source/packaging/rigchkEx.ini.example" ||
  fail "example settings differ from packaging/rigchkEx.ini.example"
cmp -s <(zcat "$root/$doc/changelog.gz") "$source/packaging/changelog" ||
  fail "changelog differs from packaging/changelog"
[[ "$(dpkg-parsechangelog -l "$source/packaging/changelog" -S Version)" == "$version" ]] ||
  fail "packaging/changelog has no entry for $version at its top"
cmp -s "$root/$doc/copyright" "$source/packaging/copyright" || fail "copyright differs from packaging/copyright"

# cmake --install into a prefix: the same files below it.
cmake --install "$build" --prefix "$scratch/prefix" >"$scratch/install.log" 2>&1 ||
  { cat "$scratch/install.log" >&2; fail "cmake --install"; }
installed=$(cd "$scratch/prefix" && find . -type f | sort)
[[ "$installed" == "$(awk '{ print substr($2, 6) }' <<<"$expected" | sed 's|^|.|' | sort)" ]] ||
  fail "cmake --install laid out:
$installed"

if ((failures)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "package $(basename "$deb") checked"
