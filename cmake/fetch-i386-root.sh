#!/bin/sh
# fetch-i386-root.sh ROOT
#
# Makes ROOT/sysroot: the 32-bit x86 (i386) Debian packages of the media libraries the
# 32-bit build links against, with everything they depend on, unpacked into a folder that
# cmake/toolchain-i386.cmake uses as its library root. Nothing on the machine changes:
# apt runs with a state, a cache and a package index of its own under ROOT/apt, for the
# i386 architecture alone, and the packages are unpacked with dpkg-deb, never installed.
# So the machine's amd64 packages are never upgraded, downgraded, held or removed, and
# the i386 set only has to agree with itself, not with the amd64 versions installed.
#
# The C library and the compiler's runtime come from gcc-multilib (amd64 packages that
# hold the 32-bit C library); their i386 twins are left out of the root.
#
# A root that is complete (ROOT/sysroot/.complete, written last, names the packages)
# for the same package list is kept as it is.
set -eu
[ $# -eq 1 ] || { echo "usage: $0 ROOT" >&2; exit 2; }
# apt reads a relative Dir::State::Lists against Dir::State: work with an absolute root.
mkdir -p "$1"
ROOT=$(cd "$1" && pwd)
PACKAGES="libavcodec-dev libavformat-dev libavutil-dev"
# Provided for -m32 by the multilib packages; unpacking them too would put a second
# C library of another version on the library path.
LEAVE_OUT="libc6 libc6-dev libc-dev-bin linux-libc-dev libgcc-s1 libstdc++6 gcc-12-base libcrypt-dev rpcsvc-proto"

[ -f "$ROOT/sysroot/.complete" ] && [ "$(head -n 1 "$ROOT/sysroot/.complete")" = "$PACKAGES" ] && exit 0

STATE=$ROOT/apt
mkdir -p "$STATE/lists/partial" "$STATE/archives/partial"
: > "$STATE/status"
set -- -o Dir::State="$STATE" -o Dir::State::status="$STATE/status" -o Dir::State::Lists="$STATE/lists" \
  -o Dir::Cache="$STATE" -o Dir::Cache::Archives="$STATE/archives" \
  -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= \
  -o APT::Architecture=i386 -o APT::Architectures::=i386 \
  -o Debug::NoLocking=1 -o APT::Sandbox::User=root -o Acquire::Retries=3 -q
LOG=$ROOT/apt.log

# The index of a suite whose mirror is in the middle of a sync can be inconsistent for a
# while ("Mirror sync in progress?"): try again a bounded number of times, then go on with
# the suites that did arrive (the i386 set then comes from them, consistent in itself).
tries=0
until apt-get "$@" update >"$LOG" 2>&1; do
  tries=$((tries + 1))
  if [ "$tries" -ge 3 ]; then
    echo "fetch-i386-root.sh: warning: i386 package index incomplete after $tries tries: $(grep -m1 '^E:' "$LOG" | cut -c4-)" >&2
    break
  fi
  sleep $((tries * 10))
done

# shellcheck disable=SC2086
if ! apt-get "$@" install -y --download-only --no-install-recommends $PACKAGES >>"$LOG" 2>&1; then
  echo "fetch-i386-root.sh: cannot get the i386 packages $PACKAGES: $(grep -m1 '^E:' "$LOG" | cut -c4-)" >&2
  exit 1
fi

rm -rf "$ROOT/sysroot"
mkdir -p "$ROOT/sysroot"
count=0
for deb in "$STATE"/archives/*.deb; do
  name=$(dpkg-deb -f "$deb" Package)
  case " $LEAVE_OUT " in *" $name "*) continue ;; esac
  dpkg-deb -x "$deb" "$ROOT/sysroot"
  count=$((count + 1))
done
[ -e "$ROOT/sysroot/usr/lib/i386-linux-gnu/pkgconfig/libavcodec.pc" ] ||
  { echo "fetch-i386-root.sh: the i386 packages arrived without libavcodec.pc" >&2; exit 1; }
rm -f "$STATE"/archives/*.deb
{ echo "$PACKAGES"; echo "$count packages unpacked"; } > "$ROOT/sysroot/.complete"
