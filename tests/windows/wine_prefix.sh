#!/usr/bin/env bash
# Boots a fresh, empty Wine prefix for the tests under Wine, or stops its server and removes it.
#   wine_prefix.sh boot|remove FOLDER
# The prefix is FOLDER/prefix; Wine keeps its server's files in FOLDER/tmp, so that removing FOLDER
# leaves nothing behind. The tests run with the same WINEPREFIX and TMPDIR.
set -euo pipefail
action=$1
folder=$2
export WINEPREFIX=$folder/prefix TMPDIR=$folder/tmp
export WINEARCH=${WINEARCH:-win32} WINEDEBUG=${WINEDEBUG:--all}

stop_and_remove() {
  if [ -d "$WINEPREFIX" ]; then
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
  fi
  rm -rf "$folder"
}

case $action in
  boot)
    stop_and_remove
    mkdir -p "$WINEPREFIX" "$TMPDIR"
    # A server that stays up between the many short runs of the tests saves restarting it.
    wineserver -p </dev/null >/dev/null 2>&1
    if ! wineboot -i >"$folder/boot.log" 2>&1; then
      cat "$folder/boot.log" >&2
      exit 1
    fi
    echo "Wine prefix booted: $(wine --version) ($WINEARCH)"
    ;;
  remove) stop_and_remove ;;
  *)
    echo "usage: $0 boot|remove FOLDER" >&2
    exit 2
    ;;
esac
