#!/usr/bin/env bash
# End to end on Windows: quillon.exe under Wine updates the emulated Norvik 1150 that the native
# quillon-devsim runs, reached through the registry (the emulated_port fixture: one device for
# every test of the prefix, so that the program finds only that one), in the console
# (--text --yes: the plain lines are checked) or in the window (--yes: the exit status, which is 0
# only when "Firmware successful updated." ended the run). In the window, SHOT names a picture of
# the window taken while the firmware is being written (with openbox for the title bar).
# Runs on the display of on_display.sh: Wine delivers the system's device notifications to
# windows only there, the console's hidden window included.
# Usage: e2e_update_wine.sh console|window WINE-RUN PREFIX QUILLON.EXE PORT-WORK WORK [SHOT]
#   PORT-WORK: the folder of the running emulated_port.sh (its emulator's log is checked)
set -euo pipefail
mode=$1 wine_run=$2 prefix=$(realpath -m "$3") quillon=$4 port_work=$(realpath -m "$5") work=$(realpath -m "$6")
shot=${7:-}
wm=
cleanup() { [ -n "$wm" ] && kill "$wm" 2>/dev/null || true; }
trap cleanup EXIT
fail() {
  echo "FAILED: $*" >&2
  echo "--- quillon output" >&2
  tr -d '\r' < "$work/out.txt" >&2 || true
  echo "--- emulator log of this run (last lines)" >&2
  run_log | tail -n 20 >&2 || true
  exit 1
}
# What the emulator logged since this run began.
run_log() { tail -n "+$((before + 1))" "$port_work/devsim.log"; }
[ -n "${QUILLON_WINE_DISPLAY:-}" ] || { echo "no display: run through on_display.sh" >&2; exit 1; }

[ -f "$port_work/devsim.log" ] || { echo "no emulated device at $port_work" >&2; exit 1; }
before=$(wc -l < "$port_work/devsim.log")
rm -rf "$work"
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
  for _ in $(seq 600); do run_log | grep -q "kind 2 address" && break; sleep 0.05; done
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
run_log | grep -q 'SetSFDeviceUpdateData kind 1 (commit version 350' || fail "no commit of version 3.50"
run_log | grep -q 'ActivateSFModuleMode activate 0' || fail "the service mode was not switched off"
if [ "$mode" = console ]; then
  out=$(tr -d '\r' < "$work/out.txt")
  for line in "Firmware update part 1 of 4 | 100%" "Firmware update part 2 of 4 | Reconnect Norvik 1150" \
              "Firmware update part 4 of 4 | 100%" "Firmware successful updated."; do
    grep -qF "$line" <<<"$out" || fail "no line \"$line\""
  done
  # The last message (its caption line, then its text) is the success.
  [ "$(grep -A1 '^\[[A-Za-z]*\] ' <<<"$out" | tail -n 1)" = "Firmware successful updated." ] ||
    fail "the success is not the last message"
fi
echo "quillon.exe updated the emulated device in the $mode under Wine in $seconds s (exit status 0)"
