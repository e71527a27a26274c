#!/usr/bin/env bash
# A virtual X display for the window's tests under Wine: start writes its name (":N", a number
# Xvfb chose free) into FILE; stop ends it. With PREFIX, the Wine server of that prefix is ended
# first, so that its desktop comes up on the new display.
# Usage: xvfb.sh start|stop FILE [PREFIX]
set -euo pipefail
# What this script leaves running must not hold a descriptor of its caller: a test runner waits
# for the end of its pipes.
for fd in /proc/$$/fd/*; do
  fd=${fd##*/}
  [ "$fd" -gt 2 ] && eval "exec $fd>&-" 2>/dev/null || true
done
action=$1 file=$2 prefix=${3:-}
case $action in
  start)
    rm -f "$file"
    [ -n "$prefix" ] && [ -d "$prefix" ] && WINEPREFIX=$(realpath "$prefix") wineserver -k >/dev/null 2>&1 || true
    exec 3> "$file.fd"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
    echo $! > "$file.pid"
    exec 3>&-
    for _ in $(seq 100); do
      if [ -s "$file.fd" ]; then
        echo ":$(tr -d '\n' < "$file.fd")" > "$file"
        rm -f "$file.fd"
        exit 0
      fi
      sleep 0.05
    done
    echo "Xvfb did not start" >&2
    exit 1
    ;;
  stop)
    [ -f "$file.pid" ] && kill "$(cat "$file.pid")" 2>/dev/null || true
    rm -f "$file" "$file.pid" "$file.fd"
    ;;
esac
