#!/usr/bin/env bash
# Several devices on Windows: quillon.exe --all under Wine with two emulated Norvik 1150s (the
# native quillon-devsim, each on a pseudo-terminal of its own), found as COM46 and COM47 through
# the registry keys of vendor 2E4C and product 0A1F this script writes. The supervisor starts one
# quillon.exe --json --port COMn per device and reads its events. One row per run:
#   asks_once    --all: the warning is asked once (answered OK on the input), each device's
#                program asks it again and the supervisor answers it through the program's
#                input; both devices updated, exit status 0
#   one_fails    --all --yes, the second device corrupts a page: the first updated all the same,
#                exit status 1, the summary names the failed device and why
#   json         quillon.exe --json --port COM46 --yes alone: every line an event of
#                docs/events.schema.json, the last one "end" with the exit status
#   stop_ctrl_c, stop_ctrl_break
#                --all --yes under a pseudo-terminal (script), so that Wine gives it a console;
#                Ctrl-C (to every program of the console) or Ctrl-Break (to the supervisor only,
#                as the system delivers it) once both devices are being written: both programs
#                stop at their next safe point (after the commit), exit status 1, both "stopped"
#   stop_close_console
#                the same with its console closed: the system ends the supervisor within 5 s,
#                whether or not its children have ended; they stop all the same at their safe
#                point (their run logs end so), as the close reached them through the supervisor
# An updated device's flash must equal the image (expected_flash.exe writes it from the
# program's own resource) and the device must run 3.50 with the service mode off.
# Usage: all_devices_wine.sh ROW WINE-RUN PREFIX QUILLON.EXE DEVSIM EXPECTED_FLASH.EXE
#                            STOP_REQUEST.EXE WORK SCHEMA VALIDATOR
set -euo pipefail
row=$1 wine_run=$2 prefix=$(realpath -m "$3") quillon=$4 devsim=$5 expected_flash=$6 helper=$7
work=$(realpath -m "$8")/$1 schema=$9 validator=${10}
if [ ! -x "$devsim" ]; then
  echo "No native quillon-devsim at $devsim: build the Linux preset first (cmake --build --preset default)" >&2
  exit 1
fi
key='HKLM\SYSTEM\CurrentControlSet\Enum\USB\VID_2E4C&PID_'
coms=(COM46 COM47)
serials=(N11501 N11502)
devs=()
cleanup() {
  for p in "${devs[@]}"; do kill "$p" 2>/dev/null || true; done
  for com in "${coms[@]}"; do rm -f "$prefix/dosdevices/${com,,}"; done
  "$wine_run" "$prefix" reg delete "${key}0a1f" /f </dev/null >/dev/null 2>&1 || true
}
trap cleanup EXIT
fail() {
  echo "FAILED ($row): $*" >&2
  for f in out.txt report events.txt; do
    [ -f "$work/$f" ] || continue
    echo "--- $f" >&2
    tr -d '\r' < "$work/$f" >&2
  done
  for n in 0 1; do
    echo "--- emulator $n (last lines)" >&2
    tail -n 12 "$work/devsim$n.log" >&2 || true
  done
  exit 1
}
windows() { local p=$1; echo "Z:${p//\//\\}"; }

rm -rf "$work"
mkdir -p "$work/data/Kalder"
[ -f "$prefix/system.reg" ] || "$wine_run" "$prefix" cmd /c exit </dev/null >/dev/null 2>&1
# The flash an update must leave.
"$wine_run" "$prefix" "$expected_flash" "$(windows "$work/expected.bin")" </dev/null >/dev/null 2>&1 ||
  fail "expected_flash.exe could not write the image"

# The devices of this run are the only ones of their vendor in the prefix.
for pid in 0a1e 0a1f; do "$wine_run" "$prefix" reg delete "$key$pid" /f </dev/null >/dev/null 2>&1 || true; done
late=(--fault answer-late --fault-on u --fault-skip 3 --fault-frames 1 --late-ms 3000)
for n in 0 1; do
  opts=()
  case $row in
    one_fails) [ "$n" = 1 ] && opts=(--fault corrupt-page) ;;
    stop_*) opts=("${late[@]}") ;;
  esac
  "$devsim" --link "$work/port$n" --serial "${serials[$n]}" --version 340 --restart-delay 1000 \
    --state-out "$work/state$n" --flash-out "$work/flash$n.bin" "${opts[@]}" \
    </dev/null > "$work/devsim$n.out" 2> "$work/devsim$n.log" &
  devs+=($!)
  for _ in $(seq 100); do [ -L "$work/port$n" ] && break; sleep 0.05; done
  [ -L "$work/port$n" ] || fail "emulator $n did not publish its port"
  ln -sfn "$work/port$n" "$prefix/dosdevices/${coms[$n],,}"
  "$wine_run" "$prefix" reg add "${key}0a1f\\EMU$n\\Device Parameters" /v PortName /t REG_SZ /d "${coms[$n]}" /f \
    </dev/null >/dev/null 2>&1
done

# Runs quillon.exe with the input given on this script's input; its output into out.txt.
run() {
  set +e
  env -u VELMORA_COM_PORTS VELMORA_COMMON_APPDATA="$(windows "$work/data")" QUILLON_REPORT_HOST= \
    "$wine_run" "$prefix" "$quillon" "$@" > "$work/out.txt" 2> "$work/err.txt"
  status=$?
  set -e
}
# The device as the emulator left it once it has ended.
stop_devices() {
  for p in "${devs[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  devs=()
}
state() { sed -n "s/^$2 //p" "$work/state$1"; }
updated() {
  local n=$1
  [ "$(state "$n" runs)" = application ] && [ "$(state "$n" version)" = 350 ] ||
    fail "device $n does not run 3.50: $(tr '\n' ' ' < "$work/state$n")"
  [ "$(state "$n" service-mode)" = off ] || fail "device $n was left in service mode"
  local size
  size=$(stat -c %s "$work/expected.bin")
  cmp -n "$size" "$work/expected.bin" "$work/flash$n.bin" >/dev/null || fail "the flash of device $n is not the image"
}
said() { tr -d '\r' < "$work/out.txt"; }
summary() { said | grep -F "\\\\.\\${coms[$1]} (serial ${serials[$1]}): $2" >/dev/null; }

case $row in
  asks_once)
    run --all <<<"o"
    stop_devices
    [ "$status" = 0 ] || fail "exit status $status, not 0"
    [ "$(said | grep -c '^\[Warning\] Firmware update$')" = 1 ] || fail "the warning was not asked exactly once"
    for n in 0 1; do
      updated "$n"
      summary "$n" "updated, exit status 0" || fail "no summary line of device $n as updated"
    done
    ;;
  one_fails)
    run --all --yes </dev/null
    stop_devices
    [ "$status" = 1 ] || fail "exit status $status, not 1"
    updated 0
    summary 0 "updated, exit status 0" || fail "no summary line of device 0 as updated"
    summary 1 "failed, exit status 1 - page " || fail "the summary does not name device 1 as failed, with why"
    [ "$(state 1 commits)" = 0 ] || fail "the corrupted device was committed"
    ;;
  json)
    run --json --port COM46 --yes </dev/null
    stop_devices
    [ "$status" = 0 ] || fail "exit status $status, not 0"
    tr -d '\r' < "$work/out.txt" > "$work/events.txt"
    [ -s "$work/events.txt" ] || fail "no events"
    python3 "$validator" "$schema" "$work/events.txt" >&2 || fail "events that do not follow the schema"
    last=$(tail -n 1 "$work/events.txt")
    python3 - "$last" <<'EOF' || fail "the last event is not the end with exit status 0"
import json, sys
event = json.loads(sys.argv[1])
sys.exit(0 if event["event"] == "end" and event["exit_status"] == 0 and event["outcome"] == "updated" else 1)
EOF
    [ "$(head -n 1 "$work/events.txt" | python3 -c 'import json,sys; print(json.load(sys.stdin)["event"])')" = start ] ||
      fail "the first event is not the start"
    updated 0
    ;;
  stop_ctrl_c | stop_ctrl_break | stop_close_console)
    case $row in
      stop_ctrl_c) action=ctrl-c ;;
      stop_ctrl_break) action=ctrl-break ;;
      stop_close_console) action=close-console ;;
    esac
    # The programs' run logs: Wine keeps %LOCALAPPDATA% in the prefix; this run's are newer than the mark.
    touch "$work/started"
    command="$(printf '%q ' "$wine_run" "$prefix" "$helper" "$action" "$(windows "$work/trigger")" \
      "$(windows "$work/report")" "$(windows "$work/out.txt")" "$quillon" --all --yes)"
    env -u VELMORA_COM_PORTS VELMORA_COMMON_APPDATA="$(windows "$work/data")" QUILLON_REPORT_HOST= \
      SHELL=/bin/bash script -qec "$command" /dev/null </dev/null > "$work/script.out" 2>&1 &
    supervisor=$!
    # Both devices are being written: each answers a block late.
    until grep -q 'answering [0-9]* ms late' "$work/devsim0.log" && grep -q 'answering [0-9]* ms late' "$work/devsim1.log"; do
      kill -0 "$supervisor" 2>/dev/null || fail "the program ended before both devices were written"
      sleep 0.05
    done
    touch "$work/trigger"
    wait "$supervisor" || true
    [ -f "$work/report" ] || fail "stop_request.exe wrote no report"
    grep -q "^delivered $action" <(tr -d '\r' < "$work/report") || fail "the request was not delivered"
    status=$(tr -d '\r' < "$work/report" | sed -n 's/^exit //p')
    # Each device restarts after its commit: its program stopped once it was back.
    for n in 0 1; do
      for _ in $(seq 200); do [ "$(grep -c 'port published' "$work/devsim$n.log")" -ge 3 ] && break; sleep 0.05; done
    done
    if [ "$row" = stop_close_console ]; then
      # The supervisor may have ended first (then with its summary, exit status 1), else the system
      # ended it (STATUS_CONTROL_C_EXIT); the device programs went on to their safe points.
      [ "$status" = 1 ] || [ "$status" = 3221225786 ] || fail "exit status $status"
      stopped=0
      for _ in $(seq 600); do
        stopped=$(find "$prefix/drive_c/users" -path '*/Quillon/runs/*.log' -newer "$work/started" \
                    -exec grep -l "outcome stopped, exit status 6" {} + 2>/dev/null | wc -l)
        [ "$stopped" -ge 2 ] && break
        sleep 0.1
      done
      [ "$stopped" -ge 2 ] || fail "$stopped of the 2 device programs ended as stopped"
    fi
    stop_devices
    if [ "$row" != stop_close_console ]; then
      [ "$status" = 1 ] || fail "exit status $status, not 1"
      for n in 0 1; do summary "$n" "stopped, exit status 6" || fail "the summary does not show device $n as stopped"; done
    fi
    for n in 0 1; do
      [ "$(state "$n" service-mode)" = off ] || fail "device $n was left in service mode"
      [ "$(state "$n" commits)" = 1 ] || fail "device $n did not finish the block being written and its commit"
      [ "$(state "$n" installs)" = 0 ] || fail "device $n went on with its ESP32 part after the stop"
    done
    ;;
  *) echo "unknown row $row" >&2; exit 2 ;;
esac
echo "$row: exit status $status"
