#!/bin/sh
# install_test.sh CMAKE BUILD_DIR PLUGIN_DIR ENGINE_FILE HOST SAMPLE [LAUNCHER]
#
# Installs the build tree into a scratch prefix and serves, through the installed
# plug-in and from a working folder of its own, the bundled sample (its index beside
# it) and a copy of it without an index (the installed indexer writes one). Checks:
# the install folder holds the plug-in, the engine, the indexer and its modules and
# nothing else; the installed libraries do not look into the build tree; the frames
# equal those the build tree's plug-in serves; standard error stays empty (with
# silent), holds only the indexing notice (without), and one error line when the
# installed indexer cannot run. LAUNCHER (an emulator command line) runs the host
# where the tree's programs cannot run directly. Exit 77: skipped.
set -eu
cmake=$1 build=$2 plugin_dir=$3 engine=$4 host=$5 sample=$6 launcher=${7:-}
skip() { echo "skipped: $*"; exit 77; }
fail() { echo "FAILED: $*" >&2; exit 1; }
command -v python3 >/dev/null 2>&1 || skip "python3 is missing, and the installed indexer is a python3 program"
unset TESSIVAR_DEBUG_OUTPUT  # a developer's debugger lines would fill standard error

tmp=$(mktemp -d "${TMPDIR:-/tmp}/tessivar-install.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
case $plugin_dir in
  /*) DESTDIR=$tmp/root "$cmake" --install "$build" --prefix "$tmp/prefix" >"$tmp/install.log"
      folder=$tmp/root$plugin_dir ;;
  *)  "$cmake" --install "$build" --prefix "$tmp/prefix" >"$tmp/install.log"
      folder=$tmp/prefix/$plugin_dir ;;
esac

listing=$(cd "$folder" && ls | tr '\n' ' ')
expected=$(printf '%s\n' halvern halvern_mkv.py halvern_mp4.py "$engine" libtessivar.so | sort | tr '\n' ' ')
[ "$listing" = "$expected" ] || fail "install folder holds '$listing', expected '$expected'"
[ -x "$folder/halvern" ] || fail "the installed indexer is not executable"
if command -v readelf >/dev/null 2>&1; then
  for library in "$folder/libtessivar.so" "$folder/$engine"; do
    for entry in $(readelf -d "$library" | sed -n 's/.*R\(UN\)\{0,1\}PATH.*\[\(.*\)\]$/\2/p' | tr ':' ' '); do
      case $entry in
        "$build"|"$build"/*) fail "$library looks for libraries in the build tree ($entry)" ;;
      esac
    done
  done
fi

mkdir "$tmp/work"
cd "$tmp/work"
serve() {  # serve PLUGIN_OPTION INDEX_OR_SOURCE NAME [OPTIONS...]: NAME.md5, NAME.err, NAME.status
  plugin_option=$1 vqi=$2 name=$3
  shift 3
  set +e
  # shellcheck disable=SC2086  # the launcher is a command line
  $launcher "$host" $plugin_option --vqi "$vqi" --engine 2 --md5 "$@" >"$name.md5" 2>"$name.err"
  echo $? >"$name.status"
  set -e
}
errors() {  # errors NAME: standard error of the run without the host's own progress lines
  tr '\r' '\n' <"$1.err" | grep -v -e '^frame [0-9]*: [0-9]* of [0-9]* served, .* frames/s *$' -e '^$' || true
}
expect_clean() {  # expect_clean NAME: served every frame, nothing on standard error
  [ "$(cat "$1.status")" = 0 ] || fail "$1: exit status $(cat "$1.status"): $(errors "$1")"
  [ -z "$(errors "$1")" ] || fail "$1: standard error holds: $(errors "$1")"
}

# The bundled sample through the installed plug-in, and through the build tree's.
serve "--plugin $folder/libtessivar.so" "$sample" installed --silent true
expect_clean installed
serve "" "$sample" built --silent true
expect_clean built
frames=$(grep -c '^[0-9]* [0-9a-f]\{32\}$' installed.md5)
[ "$frames" = 100 ] || fail "the installed plug-in served $frames frames of the sample, not 100"
cmp -s installed.md5 built.md5 || fail "frames from the installed plug-in differ from the build tree's"

# A source without an index: the installed indexer writes one beside it.
cp "$sample" clip.264
serve "--plugin $folder/libtessivar.so" clip.264 indexed --silent true
expect_clean indexed
[ -s clip.264.vqi ] || fail "no index clip.264.vqi was written"
grep -v '^[a-z]' installed.md5 >installed.frames
grep -v '^[a-z]' indexed.md5 >indexed.frames
cmp -s installed.frames indexed.frames || fail "frames served from the new index differ from the sample's"

# Without silent, the indexing notice is standard error's only line.
cp "$sample" loud.264
serve "--plugin $folder/libtessivar.so" loud.264 loud --frames 0
[ "$(cat loud.status)" = 0 ] || fail "loud: exit status $(cat loud.status): $(errors loud)"
notice="Tessivar: Generating index file for your stream... Please wait patiently for your first frame to appear. This will need to be done only once."
[ "$(errors loud)" = "$notice" ] || fail "loud: standard error holds: $(errors loud)"

# An installed indexer that cannot run: one error line that says why.
rm "$folder/halvern_mkv.py"
cp "$sample" broken.264
serve "--plugin $folder/libtessivar.so" broken.264 broken --silent true
[ "$(cat broken.status)" = 1 ] || fail "broken: exit status $(cat broken.status)"
expected="error: Orvanto: Halvern failed (exit status 1): ModuleNotFoundError: No module named 'halvern_mkv'"
[ "$(errors broken)" = "$expected" ] || fail "broken: standard error holds: $(errors broken)"
echo "installed into $folder and served $frames frames of the sample and of an indexed copy"
