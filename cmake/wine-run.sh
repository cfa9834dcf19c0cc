#!/usr/bin/env bash
# Runs a Windows program of the windows preset under Wine: CMake's emulator
# for the cross build (test discovery and every test). The Wine prefix is the
# build folder's own (WINEPREFIX, which the preset sets); libcurl's DLL is
# found through WINEPATH; Wine's own warnings stay off stderr. The prefix is
# made and its server held by cmake/wine-prefix.sh, here too if nobody did,
# so that no Wine helper started by a test holds the test's output.
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"
deps=${LINKRATE_WINDOWS_DEPS:-$HOME/.cache/tarnwell-linkrate/windows}
export WINEPATH="Z:${deps//\//\\}\\prefix\\bin"
"$(dirname "$0")/wine-prefix.sh" start
exec wine "$@"
