# shellcheck shell=bash
# Sourced by every script that runs Wine for the windows preset: the prefix
# must be named, Wine's own warnings stay off stderr, and the prefix gets no
# Mono or Gecko installer prompts, no desktop menu entries and no debugger.
# Wine's debugger would report a crash and let the program exit with 0, so a
# crash would pass as a success; without it, the crash is the failure.
: "${WINEPREFIX:?set WINEPREFIX to the Wine prefix of the build folder}"
export WINEPREFIX
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"
