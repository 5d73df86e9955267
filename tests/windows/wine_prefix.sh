#!/usr/bin/env bash
# Boots a fresh, empty Wine prefix for the tests under Wine, or stops its server and removes it.
#   wine_prefix.sh boot|remove PREFIX
set -euo pipefail
action=$1
export WINEPREFIX=$2 WINEARCH=${WINEARCH:-win32} WINEDEBUG=${WINEDEBUG:--all}

stop_and_remove() {
  if [ -d "$WINEPREFIX" ]; then
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
  fi
}

case $action in
  boot)
    stop_and_remove
    mkdir -p "$WINEPREFIX"
    # A server that stays up between the many short runs of the tests saves restarting it.
    wineserver -p </dev/null >/dev/null 2>&1
    log=$WINEPREFIX.boot.log
    if ! wineboot -i >"$log" 2>&1; then
      cat "$log" >&2
      exit 1
    fi
    echo "Wine prefix booted: $(wine --version) ($WINEARCH)"
    ;;
  remove)
    stop_and_remove
    rm -f "$WINEPREFIX.boot.log"
    ;;
  *)
    echo "usage: $0 boot|remove PREFIX" >&2
    exit 2
    ;;
esac
