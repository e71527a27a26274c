#!/usr/bin/env bash
# Two COM ports of the Wine prefix joined like a null-modem cable: COM41 and COM42 are links
# (dosdevices/com41, com42) to the two pseudo-terminals of one socat process.
# Usage: com_pair.sh start|stop WINE-RUN PREFIX
set -euo pipefail
action=$1 wine_run=$2 prefix=$(realpath -m "$3")
pidfile=$prefix-com-pair.pid
case $action in
  start)
    [ -f "$prefix/system.reg" ] || "$wine_run" "$prefix" cmd /c exit >/dev/null 2>&1
    rm -f "$prefix/dosdevices/com41" "$prefix/dosdevices/com42"
    socat pty,raw,echo=0,link="$prefix/dosdevices/com41" pty,raw,echo=0,link="$prefix/dosdevices/com42" \
      </dev/null >/dev/null 2>&1 &
    echo $! > "$pidfile"
    for _ in $(seq 100); do
      [ -L "$prefix/dosdevices/com41" ] && [ -L "$prefix/dosdevices/com42" ] && exit 0
      sleep 0.05
    done
    echo "socat did not publish its pseudo-terminals" >&2
    exit 1
    ;;
  stop)
    if [ -f "$pidfile" ]; then
      kill "$(cat "$pidfile")" 2>/dev/null || true
      rm -f "$pidfile"
    fi
    rm -f "$prefix/dosdevices/com41" "$prefix/dosdevices/com42"
    ;;
esac
