#!/usr/bin/env bash
# One Wine server for a prefix through the whole test run. Left to itself, Wine starts a server
# with the first program of a prefix and ends it 3 s after the last one; a program that starts
# while that server is going away loses its connection ("wine client error:0: recvmsg: Connection
# reset by peer") and fails its test by chance. start makes the prefix, ends any server left
# over and starts one that stays (wineserver -p); stop ends it and its programs and waits until
# it has gone, so that nothing of this run meets the next.
# Usage: wine_server.sh start|stop WINE-RUN PREFIX
set -euo pipefail
# What this script leaves running must not hold a descriptor of its caller: a test runner waits
# for the end of its pipes.
for fd in /proc/$$/fd/*; do
  fd=${fd##*/}
  [ "$fd" -gt 2 ] && eval "exec $fd>&-" 2>/dev/null || true
done
action=$1 wine_run=$2
export WINEPREFIX=$(realpath -m "$3")
case $action in
  start)
    "$wine_run" "$WINEPREFIX" cmd /c exit </dev/null >/dev/null 2>&1
    wineserver -k </dev/null >/dev/null 2>&1 || true
    wineserver -w </dev/null >/dev/null 2>&1 || true
    wineserver -p </dev/null >/dev/null 2>&1
    # Up once a program has run against it.
    "$wine_run" "$WINEPREFIX" cmd /c exit </dev/null >/dev/null 2>&1
    ;;
  stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    wineserver -w </dev/null >/dev/null 2>&1 || true
    ;;
esac
