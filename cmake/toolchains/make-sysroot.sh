#!/bin/sh
# Unpacks the Debian packages a cross build links against, with every library they need, into a
# folder of the build's own: the target architecture's -dev packages are never installed on this
# machine, so its own packages' versions never have to match theirs (Multi-Arch: same), and a
# mirror whose indexes of one architecture lag behind another's cannot stop the build. The C and
# C++ runtimes come from Debian's cross compilers (/usr/<triplet>), not from here.
#
# usage: make-sysroot.sh ARCH DIR PACKAGE...      (ARCH as dpkg names it: i386, arm64, armhf)
# The architecture is added to dpkg's foreign ones when missing (as root, or through sudo). The
# downloaded packages are kept in DIR.debs; DIR is unpacked again only when the list changes.
set -eu
arch=$1 dir=$2
shift 2

sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo
if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
  $sudo dpkg --add-architecture "$arch"
fi
if ! apt-cache show "libc6:$arch" >/dev/null 2>&1; then
  sh "$(dirname "$0")/../../tools/build/apt-update.sh"
fi

# The packages and the libraries they depend on, but for what the cross compilers bring and the
# programs a package depends on only to be installed.
toolchain='^(gcc-[0-9]+-base|libc6|libc6-dev|libc-dev-bin|libgcc-s1|libstdc\+\+6|libcrypt1|libcrypt-dev|libnsl2|libnsl-dev|libtirpc3|libtirpc-dev|libtirpc-common|rpcsvc-proto|linux-libc-dev|dpkg|sed|tar|debconf|pkg-config|pkgconf|pkgconf-bin|libpkgconf3):'
wanted=""
for package in "$@"; do
  wanted="$wanted $package:$arch"
done
# shellcheck disable=SC2086
list=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
         --no-replaces --no-enhances $wanted | grep -v '^ ' | grep ":$arch\$" |
       grep -Ev "$toolchain" | sort -u)
[ -n "$list" ] || { echo "make-sysroot.sh: no $arch packages found for: $*" >&2; exit 1; }

if [ -f "$dir/.packages" ] && [ "$(cat "$dir/.packages")" = "$list" ]; then
  exit 0
fi
rm -rf "$dir.debs"
mkdir -p "$dir.debs"
rm -rf "$dir"
mkdir -p "$dir"
echo "Unpacking into $dir:" $list
# shellcheck disable=SC2086
(cd "$dir.debs" && apt-get download $list >/dev/null)
for package in $list; do
  name=${package%:*}
  deb=$(ls "$dir.debs/${name}_"*"_$arch.deb" "$dir.debs/${name}_"*"_all.deb" 2>/dev/null | tail -n 1)
  [ -n "$deb" ] || { echo "make-sysroot.sh: $package was not downloaded" >&2; exit 1; }
  dpkg-deb -x "$deb" "$dir"
done
# Links that name an absolute path point into the folder instead.
find "$dir" -type l | while read -r link; do
  target=$(readlink "$link")
  case $target in /*) ln -sfn "$dir$target" "$link" ;; esac
done
echo "$list" >"$dir/.packages"
