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
  gcc-arm-linux-gnueabihf make   # the DIO module's build
  qemu-user                      # runs the armhf modpost of the kernel's headers
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
fetch=$(mktemp -d)
trap 'rm -rf "$fetch"' EXIT
chmod 755 "$fetch"  # apt's download user writes here
(
  cd "$fetch"
  retry apt-get "${apt_opts[@]}" -qq download \
    "$image:armhf=$version" "linux-headers-$abi-armmp:armhf=$version" \
    "linux-headers-$abi-common:all=$version" "linux-kbuild-$series:amd64=$version" "linux-kbuild-$series:armhf=$version" \
    busybox-static:armhf
)
rm -rf "$dest"
mkdir -p "$dest"/{kernel,headers,kbuild-armhf,busybox}
dpkg-deb -x "$fetch"/linux-image-*_armhf.deb "$dest/kernel"
for deb in "$fetch"/linux-headers-*.deb "$fetch"/linux-kbuild-*_amd64.deb; do dpkg-deb -x "$deb" "$dest/headers"; done
dpkg-deb -x "$fetch"/linux-kbuild-*_armhf.deb "$dest/kbuild-armhf"
dpkg-deb -x "$fetch"/busybox-static_*_armhf.deb "$dest/busybox"
sed -i "s|^include /usr/src/|include $dest/headers/usr/src/|" "$dest/headers/usr/src/linux-headers-$abi-armmp/Makefile"
echo "$abi-armmp" >"$dest/kernel-release"
touch "$dest/.complete"
ln -sfn "$version" "$cache/current"
echo "twin-deps: kernel $image $version unpacked into $dest"
