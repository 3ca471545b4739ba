#!/usr/bin/env bash
# The board's twin (rigfixture --machine imx6ul): installs the host's tools and
# fetches from Debian's archive, without adding armhf to the host's dpkg, the
# armhf kernel the emulated i.MX6UL boots, what a module for it is built with,
# and the board's BusyBox. Unpacked into a cache, one folder per kernel version:
#   /var/cache/rigchkex-twin/<version>/
#     kernel/        the armhf kernel package (vmlinuz, device trees, modules)
#     headers/       its headers with the amd64 kbuild tools beside them, as
#                    they would lie under /; the headers' Makefile includes
#                    the -common copy here
#     kbuild-armhf/  the armhf kbuild tools: modpost runs from here under
#                    qemu-arm (the amd64 one assumes 64-bit table layouts)
#     busybox/       the board's BusyBox (armhf busybox-static)
#   /var/cache/rigchkex-twin/current -> <version>
# The kernel's version is the one the archive holds today (taken from
# linux-image-armmp's dependency). Idempotent; needs root. Called by deps.sh.
set -euo pipefail

cache=${RIG_TWIN_CACHE:-/var/cache/rigchkex-twin}
host_packages=(
  qemu-system-arm                # the emulated SoC (machine mcimx6ul-evk)
  device-tree-compiler           # fdtput: the board's UARTs in the device tree
  cpio                           # the initramfs
  make                           # the DIO module's build
  g++-arm-linux-gnueabihf        # the static release program and the in-board programs (C and C++)
  libc6-dev-armhf-cross          # their C library (a recommendation of the compiler, so named)
  googletest                     # GoogleTest's sources: the armhf builds configure their tests
  qemu-user                      # the armhf modpost of the kernel's headers; the armhf tests
)
attempts=4

# Runs a command up to $attempts times (the archive's mirrors are sometimes mid-sync).
retry() {
  local i
  for ((i = 1; i <= attempts; i++)); do
    "$@" && return 0
    echo "twin-deps: attempt $i of $attempts failed: $*" >&2
    sleep $((i * 3))
  done
  return 1
}

missing=()
for p in "${host_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if (( ${#missing[@]} )); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  retry apt-get update -qq
  retry apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# A private apt for armhf: its own lists and cache, no dpkg status, and a
# source list made of the host's archive for its main suite (the security
# suite's armhf index is often mid-sync; the main suite carries the kernel).
apt_dir=$cache/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/etc/sources.list.d" "$apt_dir/etc/preferences.d"
. /etc/os-release
apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Identifier: Packages' |
  awk -v suite="$VERSION_CODENAME" '$2 == suite { print "deb [arch=armhf,amd64] " $1 " " $2 " " $3 }' |
  sort -u >"$apt_dir/etc/sources.list"
if [[ ! -s $apt_dir/etc/sources.list ]]; then
  echo "twin-deps: the host's apt configuration has no archive for $VERSION_CODENAME" >&2
  exit 1
fi
apt_opts=(
  -o APT::Architecture=armhf -o APT::Architectures::=armhf -o APT::Architectures::=amd64
  -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache"
  -o Dir::State::status=/dev/null
  -o Dir::Etc::SourceList="$apt_dir/etc/sources.list" -o Dir::Etc::SourceParts="$apt_dir/etc/sources.list.d"
  -o Dir::Etc::Preferences="$apt_dir/etc/preferences" -o Dir::Etc::PreferencesParts="$apt_dir/etc/preferences.d"
  -o Debug::NoLocking=1
)
retry apt-get "${apt_opts[@]}" -qq update

# The kernel package the meta-package depends on today: linux-image-<abi>-armmp.
image=$(apt-cache "${apt_opts[@]}" depends linux-image-armmp:armhf |
  sed -n 's/^ *Depends: \(linux-image-[0-9][^:]*-armmp\)\(:armhf\)\?$/\1/p' | head -n1)
if [[ -z $image ]]; then
  echo "twin-deps: cannot resolve the kernel of linux-image-armmp" >&2
  exit 1
fi
abi=${image#linux-image-}
abi=${abi%-armmp}
version=$(apt-cache "${apt_opts[@]}" show "$image:armhf" | sed -n 's/^Version: //p' | head -n1)
dest=$cache/$version
if [[ -f $dest/.complete ]]; then
  ln -sfn "$version" "$cache/current"
  echo "twin-deps: kernel $image $version cached in $dest"
  exit 0
fi

series=${abi%%-*}                 # 6.1.0-40 -> 6.1.0
series=${series%.*}               # -> 6.1 (linux-kbuild-6.1)
# The packages, kept in $cache/debs: a fresh cache downloads them; a kept file
# is used again only when its checksum is the one the archive's index gives.
debs=$cache/debs
mkdir -p "$debs"  # (root's: apt downloads into it as root, and says so)
pkgs=("$image:armhf=$version" "linux-headers-$abi-armmp:armhf=$version" "linux-headers-$abi-common:all=$version"
  "linux-kbuild-$series:amd64=$version" "linux-kbuild-$series:armhf=$version" busybox-static:armhf)
declare -A file_of  # pkg -> the package's file in $debs
# Prints field $1 of the package record in $record.
field() { sed -n "s/^$1: //p" <<<"$record" | head -n1; }
wanted=() fetch=()
for pkg in "${pkgs[@]}"; do
  record=$(apt-cache "${apt_opts[@]}" show --no-all-versions "$pkg")
  # The name apt-get download gives the file: PACKAGE_VERSION_ARCH.deb, the
  # epoch's colon written %3a.
  name=$(field Package) ver=$(field Version) arch=$(field Architecture) sum=$(field SHA256)
  file=${name}_${ver//:/%3a}_$arch.deb
  if [[ -z $name || -z $ver || -z $arch || -z $sum || $file == */* || $file == .* ]]; then
    echo "twin-deps: no package file for $pkg in the archive's index" >&2
    exit 1
  fi
  file_of[$pkg]=$debs/$file
  wanted+=("$file")
  [[ -f $debs/$file ]] && sha256sum --quiet -c - <<<"$sum  $debs/$file" 2>/dev/null || fetch+=("$pkg")
done
if (( ${#fetch[@]} )); then
  (cd "$debs" && retry apt-get "${apt_opts[@]}" -qq download "${fetch[@]}")
fi
for f in "$debs"/*.deb; do  # packages of earlier kernels
  [[ " ${wanted[*]} " == *" ${f##*/} "* ]] || rm -f "$f"
done

rm -rf "$dest"
mkdir -p "$dest"/{kernel,headers,kbuild-armhf,busybox}
dpkg-deb -x "${file_of[${pkgs[0]}]}" "$dest/kernel"
for pkg in "${pkgs[@]:1:3}"; do dpkg-deb -x "${file_of[$pkg]}" "$dest/headers"; done
dpkg-deb -x "${file_of[${pkgs[4]}]}" "$dest/kbuild-armhf"
dpkg-deb -x "${file_of[${pkgs[5]}]}" "$dest/busybox"
sed -i "s|^include /usr/src/|include $dest/headers/usr/src/|" "$dest/headers/usr/src/linux-headers-$abi-armmp/Makefile"
echo "$abi-armmp" >"$dest/kernel-release"
touch "$dest/.complete"
ln -sfn "$version" "$cache/current"
echo "twin-deps: kernel $image $version unpacked into $dest"
