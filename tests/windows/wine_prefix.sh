#!/usr/bin/env bash
# Boots a fresh, empty Wine prefix for the tests under Wine, or stops its server and removes it.
#   wine_prefix.sh boot|remove FOLDER LOADER [WINDOWS-VERSION]
# LOADER runs Windows programs: the `wine` wrapper, or one of Wine's loaders by its path. With a
# WINDOWS-VERSION (winecfg's name for it, such as nt40 or win98), Wine reports that version of
# Windows to the programs in the prefix, as `ver` shows it. It is set in the registry value that
# `winecfg -v` writes, since Wine's 64-bit winecfg refuses the versions before Windows XP. The
# prefix is FOLDER/prefix, of the architecture WINEARCH names; Wine keeps its server's files in
# FOLDER/tmp, so that removing FOLDER leaves nothing behind. The tests run with the same
# WINEPREFIX and TMPDIR. When the prefix cannot boot, Wine's own messages are shown.
set -euo pipefail
action=$1
folder=$2
loader=$3
windows_version=${4:-}
export WINEPREFIX=$folder/prefix TMPDIR=$folder/tmp
export WINEARCH=${WINEARCH:-win32}

stop_and_remove() {
  if [ -d "$WINEPREFIX" ]; then
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
  fi
  rm -rf "$folder"
}

# Prints the log FILE with what failed, and fails.
fail_with_log() {
  echo "FAILED: $1 ($WINEARCH prefix, loader $loader). Wine said:" >&2
  cat "$2" >&2
  exit 1
}

case $action in
  boot)
    stop_and_remove
    mkdir -p "$WINEPREFIX" "$TMPDIR"
    # Wine's errors and warnings go to the logs; only its fixme notes are left out.
    export WINEDEBUG=fixme-all
    # A server that stays up between the many short runs of the tests saves restarting it.
    wineserver -p </dev/null >"$folder/server.log" 2>&1 ||
      fail_with_log "the Wine server did not start" "$folder/server.log"
    "$loader" wineboot -i </dev/null >"$folder/boot.log" 2>&1 ||
      fail_with_log "the Wine prefix did not boot" "$folder/boot.log"
    if [ -n "$windows_version" ]; then
      # Wine ignores a version it does not know, so `ver` must show another one than before.
      shown_version() {
        "$loader" cmd /c ver </dev/null 2>>"$folder/boot.log" | tr -d '\r' | grep . ||
          fail_with_log "cmd /c ver showed no Windows version" "$folder/boot.log"
      }
      default=$(shown_version)
      "$loader" reg add 'HKCU\Software\Wine' /v Version /d "$windows_version" /f </dev/null \
        >>"$folder/boot.log" 2>&1 ||
        fail_with_log "the Windows version $windows_version could not be set" "$folder/boot.log"
      reported=$(shown_version)
      [ "$reported" != "$default" ] ||
        fail_with_log "Wine did not take the Windows version $windows_version" "$folder/boot.log"
    fi
    echo "Wine prefix booted: $("$loader" --version) ($WINEARCH, $loader${windows_version:+, Windows reported as $windows_version: $reported})"
    ;;
  remove) stop_and_remove ;;
  *)
    echo "usage: $0 boot|remove FOLDER LOADER [WINDOWS-VERSION]" >&2
    exit 2
    ;;
esac
