#!/bin/sh
# install-deps.sh main|tests|emulator
#
# Installs Debian 12 packages for x86-64 (amd64), nothing else: no foreign
# architecture is added and no package of the machine is held or removed.
#   main      what the plug-in, its engine and the frame server need to build and run
#   tests     the above and what the test suite needs: GoogleTest, clang and its
#             sanitizer runtime, the stream tools (ffmpeg, x264, mkvtoolnix,
#             mjpegtools), python3, and the 32-bit compilers (gcc-multilib); the
#             32-bit media libraries are not installed but unpacked into the build
#             tree (cmake/fetch-i386-root.sh)
#   emulator  qemu-user, which runs the 32-bit tests where the kernel cannot
set -e
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
APT="$SUDO apt-get -o DPkg::Lock::Timeout=600"
LOG=$(mktemp)
trap 'rm -f "$LOG"' EXIT

MAIN="build-essential cmake pkg-config libavcodec-dev libavformat-dev libavutil-dev libmfx-dev"
case "${1:-}" in
  main) PACKAGES=$MAIN ;;
  tests) PACKAGES="$MAIN git python3 libgtest-dev googletest clang libclang-rt-14-dev
                   ffmpeg x264 mkvtoolnix mjpegtools gcc-multilib g++-multilib" ;;
  emulator) PACKAGES=qemu-user ;;
  *) echo "usage: $0 main|tests|emulator" >&2; exit 2 ;;
esac

# A mirror in the middle of a sync serves an index that does not match its
# release file for a while ("File has unexpected size ... Mirror sync in
# progress?"): try again, a bounded number of times, then go on with the index
# that is there.
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
