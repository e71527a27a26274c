#!/usr/bin/env bash
# End to end on Windows: quillon.exe under Wine updates an emulated Norvik 1150 that the native
# quillon-devsim runs, reached as COM46 through the registry (emulated_port.sh), in the console
# (--text --yes: the plain lines are checked) or in the window (--yes: the exit status, which is 0
# only when "Firmware successful updated." ended the run). In the window, SHOT names a picture of
# the window taken while the firmware is being written (with openbox for the title bar).
# Runs on the display of on_display.sh: Wine delivers the system's device notifications to
# windows only there, the console's hidden window included.
# Usage: e2e_update_wine.sh console|window WINE-RUN PREFIX QUILLON.EXE NOTIFIER.EXE DEVSIM WORK [SHOT]
set -euo pipefail
mode=$1 wine_run=$2 prefix=$(realpath -m "$3") quillon=$4 notifier=$5 devsim=$6 work=$(realpath -m "$7")
shot=${8:-}
here=$(dirname "$0")
port_work=$work/port
wm=
cleanup() {
  [ -n "$wm" ] && kill "$wm" 2>/dev/null || true
  "$here/emulated_port.sh" stop "$wine_run" "$prefix" "$port_work" COM46 || true
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*" >&2
  echo "--- quillon output" >&2
  tr -d '\r' < "$work/out.txt" >&2 || true
  echo "--- emulator log (last lines)" >&2
  tail -n 20 "$port_work/devsim.log" >&2 || true
  exit 1
}
[ -n "${QUILLON_WINE_DISPLAY:-}" ] || { echo "no display: run through on_display.sh" >&2; exit 1; }

mkdir -p "$work"
"$here/emulated_port.sh" start "$wine_run" "$prefix" "$devsim" "$notifier" "$port_work" COM46 \
  --serial N11501 --version 340 --restart-delay 1000 --throttle
mkdir -p "$work/data/Kalder"
appdata="Z:${work//\//\\}\\data"

args=(--yes)
[ "$mode" = console ] && args=(--text --yes)
if [ -n "$shot" ] && command -v openbox >/dev/null; then
  DISPLAY=$QUILLON_WINE_DISPLAY openbox </dev/null >/dev/null 2>&1 &
  wm=$!
fi
start=$(date +%s)
env -u VELMORA_COM_PORTS VELMORA_COMMON_APPDATA="$appdata" QUILLON_REPORT_HOST= \
  "$wine_run" "$prefix" "$quillon" "${args[@]}" </dev/null >"$work/out.txt" 2>&1 &
pid=$!
if [ -n "$shot" ]; then
  # The first data block is on its way once the emulator logs it.
  for _ in $(seq 600); do grep -q "kind 2 address" "$port_work/devsim.log" && break; sleep 0.05; done
  sleep 0.3
  id=$(DISPLAY=$QUILLON_WINE_DISPLAY xdotool search --name '^Firmware update to' | head -1 || true)
  if [ -n "$id" ]; then
    DISPLAY=$QUILLON_WINE_DISPLAY import -window "$id" -frame "$shot"
  else
    DISPLAY=$QUILLON_WINE_DISPLAY import -window root "$shot"
  fi
  echo "saved $shot"
fi
set +e
wait "$pid"
status=$?
set -e
seconds=$(( $(date +%s) - start ))
[ "$status" = 0 ] || fail "quillon.exe ($mode) ended with exit status $status"
grep -q 'SetSFDeviceUpdateData kind 1 (commit version 350' "$port_work/devsim.log" || fail "no commit of version 3.50"
grep -q 'ActivateSFModuleMode activate 0' "$port_work/devsim.log" || fail "the service mode was not switched off"
if [ "$mode" = console ]; then
  out=$(tr -d '\r' < "$work/out.txt")
  for line in "Firmware update part 1 of 4 | 100%" "Firmware update part 2 of 4 | Reconnect Norvik 1150" \
              "Firmware update part 4 of 4 | 100%" "Firmware successful updated."; do
    grep -qF "$line" <<<"$out" || fail "no line \"$line\""
  done
  [ "$(tail -n 2 <<<"$out" | head -n 1)" = "Firmware successful updated." ] || fail "the success is not the last message"
fi
echo "quillon.exe updated the emulated device in the $mode under Wine in $seconds s (exit status 0)"
