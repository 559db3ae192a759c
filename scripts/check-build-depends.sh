#!/bin/sh
# check-build-depends.sh <work dir>
#
# Shows that debian/control's Build-Depends are complete: a minimal Debian
# system of the machine's release (mmdebstrap, variant buildd: essential
# packages and build-essential, nothing else) is made in <work dir>/root from
# the machine's own package sources; the checkout's files are copied in, and
# there `apt-get build-dep ./` then `dpkg-buildpackage -us -uc -b` must
# build the three packages; the system is removed again, the packages stay
# in <work dir>/src.  Needs root and the package registry.
set -eu
[ $# -eq 1 ] || { echo "usage: check-build-depends.sh <work dir>" >&2; exit 2; }
SRC=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
WORK=$(cd "$1" && pwd)
rm -rf "$WORK/root" "$WORK/src"
mkdir -p "$WORK/src/kxadmin"
(cd "$SRC" && git ls-files -z --cached --others --exclude-standard |
    xargs -0 cp --parents -t "$WORK/src/kxadmin")

. /etc/os-release
# The machine's own package sources (deb822 or one-line form), else
# mmdebstrap's default mirror.
sources=
for f in /etc/apt/sources.list.d/debian.sources /etc/apt/sources.list; do
    [ -s "$f" ] && { sources=$f; break; }
done
build='cd /src/kxadmin && apt-get build-dep -y ./ && dpkg-buildpackage -us -uc -b'
mmdebstrap --mode=root --variant=buildd --skip=cleanup/apt \
    --customize-hook="copy-in $WORK/src /" \
    --customize-hook="chroot \"\$1\" env DEBIAN_FRONTEND=noninteractive sh -c '$build'" \
    --customize-hook="copy-out /src $WORK" \
    "$VERSION_CODENAME" "$WORK/root" $sources \
    >"$WORK/build.log" 2>&1 || { tail -n 40 "$WORK/build.log"; exit 1; }
rm -rf "$WORK/root"
ls "$WORK"/src/*.deb
