#!/usr/bin/env bash
# An emulated Norvik 1150 for the programs under Wine: the native quillon-devsim on a
# pseudo-terminal, reached as COM port NAME of the Wine prefix (a dosdevices link to the port
# the emulator publishes), found through the registry keys of vendor 2E4C and product 0A1F that
# this script writes; and device_change_notifier, which broadcasts WM_DEVICECHANGE whenever the
# emulator's port comes or goes, as Windows does for a real device.
# Usage: emulated_port.sh start WINE-RUN PREFIX DEVSIM NOTIFIER.EXE WORK COMN [DEVSIM-OPTIONS...]
#        emulated_port.sh stop  WINE-RUN PREFIX WORK COMN
set -euo pipefail
# What this script leaves running must not hold a descriptor of its caller: a test runner waits
# for the end of its pipes.
for fd in /proc/$$/fd/*; do
  fd=${fd##*/}
  [ "$fd" -gt 2 ] && eval "exec $fd>&-" 2>/dev/null || true
done
action=$1 wine_run=$2 prefix=$(realpath -m "$3")
device='HKLM\SYSTEM\CurrentControlSet\Enum\USB\VID_2E4C&PID_0a1f'
case $action in
  start)
    devsim=$4 notifier=$5 work=$(realpath -m "$6") com=$7
    shift 7
    if [ ! -x "$devsim" ]; then
      echo "No native quillon-devsim at $devsim: build the Linux preset first (cmake --build --preset default)" >&2
      exit 1
    fi
    rm -rf "$work"
    mkdir -p "$work"
    [ -f "$prefix/system.reg" ] || "$wine_run" "$prefix" cmd /c exit >/dev/null 2>&1
    # Wine's server outlives this script (the notifier keeps it): none of its output may hold the
    # caller's (a test runner waits for the end of it).
    WINEPREFIX=$prefix wineserver -p 3 </dev/null >/dev/null 2>&1 || true
    "$devsim" --link "$work/port" "$@" > "$work/devsim.out" 2> "$work/devsim.log" &
    echo $! > "$work/devsim.pid"
    for _ in $(seq 100); do [ -L "$work/port" ] && break; sleep 0.05; done
    [ -L "$work/port" ] || { echo "the emulator did not publish its port" >&2; exit 1; }
    ln -sfn "$work/port" "$prefix/dosdevices/${com,,}"
    # The only device of its product in this prefix: instances an earlier run left go first.
    "$wine_run" "$prefix" reg delete "$device" /f </dev/null >/dev/null 2>&1 || true
    "$wine_run" "$prefix" reg add "$device\\EMU${com#COM}\\Device Parameters" /v PortName /t REG_SZ /d "$com" /f </dev/null >/dev/null 2>&1
    # The port and the stop file as Windows sees them: the Unix root is drive Z:.
    "$wine_run" "$prefix" "$notifier" "Z:${work//\//\\}\\port" "Z:${work//\//\\}\\stop" </dev/null > "$work/notifier.log" 2>&1 &
    echo $! > "$work/notifier.pid"
    ;;
  stop)
    work=$(realpath -m "$4") com=$5
    touch "$work/stop"
    for p in notifier devsim; do
      [ -f "$work/$p.pid" ] && kill "$(cat "$work/$p.pid")" 2>/dev/null || true
    done
    rm -f "$prefix/dosdevices/${com,,}"
    "$wine_run" "$prefix" reg delete "$device\\EMU${com#COM}" /f >/dev/null 2>&1 || true
    ;;
esac
