#!/bin/sh
# The plug-in exports exactly AvisynthPluginInit2 and imports nothing of the
# host's interface classes (those must all be our own, hidden code).
set -e
plugin="$1"
defined=$(nm -D --defined-only "$plugin" | awk '{print $3}')
if [ "$defined" != "AvisynthPluginInit2" ]; then
  echo "exported symbols differ from AvisynthPluginInit2:"; echo "$defined"; exit 1
fi
if nm -D --undefined-only "$plugin" | c++filt | grep -E 'IClip|AVSValue|VideoFrame|IScriptEnvironment|PClip|VideoInfo'; then
  echo "the plug-in imports host interface symbols"; exit 1
fi
echo "exports ok"
