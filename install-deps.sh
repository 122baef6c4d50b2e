#!/bin/sh
# Installs the Debian 12 packages needed to build, run and test the plug-in, for
# x86-64 and for the 32-bit x86 build (multiarch i386).
set -e
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
APT="$SUDO apt-get -o DPkg::Lock::Timeout=600"
LOG=$(mktemp)
trap 'rm -f "$LOG"' EXIT

# The libraries of both builds. Multi-Arch: same packages must have one version on
# both architectures, so the i386 ones go into the same apt call as their amd64
# twins: apt then upgrades the amd64 ones to match.
PACKAGES="build-essential cmake pkg-config git python3
  libgtest-dev googletest clang libclang-rt-14-dev
  libavcodec-dev libavformat-dev libavutil-dev libmfx-dev libmfx1
  ffmpeg x264 mkvtoolnix mjpegtools
  gcc-multilib g++-multilib
  libavcodec-dev:i386 libavformat-dev:i386 libavutil-dev:i386 libgtest-dev:i386"

dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386

# A mirror in the middle of a sync serves an index that does not match its
# release file for a while ("File has unexpected size ... Mirror sync in
# progress?"): try again, a bounded number of times.
tries=0
stale=
until $APT update -qq >"$LOG" 2>&1; do
  tries=$((tries + 1))
  if [ "$tries" -ge 5 ]; then
    stale=$(grep -m1 '^E:' "$LOG" | cut -c4-)
    echo "install-deps.sh: warning: package index not updated after $tries tries: $stale" >&2
    break
  fi
  sleep $((tries * 10))
done

# shellcheck disable=SC2086
if ! $APT install -y -q --no-install-recommends $PACKAGES >"$LOG" 2>&1; then
  # The packages apt names as unmet or unknown, else the whole list, on one line.
  missing=$(sed -n -e 's/^ \([^ ]*\) : Depends:.*/\1/p' \
                   -e "s/^E: Unable to locate package \(.*\)/\1/p" \
                   -e "s/^E: Package '\(.*\)' has no installation candidate/\1/p" "$LOG" | sort -u | tr '\n' ' ')
  # shellcheck disable=SC2086
  [ -n "$missing" ] || missing=$(printf "%s " $PACKAGES)
  echo "install-deps.sh: cannot install ${missing% }: $(grep -m1 '^E:' "$LOG" | cut -c4-)${stale:+ (index not updated: $stale)}" >&2
  exit 1
fi
