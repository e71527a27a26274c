#!/usr/bin/env bash
# Stop requests against quillon.exe under Wine, one row of the table per run: Ctrl-C, Ctrl-Break
# and closing the console (quillon.exe --text --yes), and closing the window (quillon.exe --yes),
# each at a point where the update may stop at once and while the device is being written. Each
# row has an emulated device of its own (the native quillon-devsim, COM45 of the prefix, named
# with --port) and checks the exit status, what the program said (its output, its run log) and
# how the device was left (the emulator's --state-out). stop_request.exe delivers the request once
# the emulator's log shows the row's point; nothing waits for a fixed time.
# Runs on the display of on_display.sh, under a pseudo-terminal (script), so that the programs
# have a console that Ctrl-C reaches.
# Usage: stop_matrix_wine.sh ROW WINE-RUN PREFIX QUILLON.EXE DEVSIM STOP_REQUEST.EXE WORK HEADER
#   ROW: one of the names of the table below; HEADER: app/start_and_checks.h (the stop notes)
set -euo pipefail
row=$1 wine_run=$2 prefix=$(realpath -m "$3") quillon=$4 devsim=$5 helper=$6 work=$(realpath -m "$7")/$1 header=$8
[ -n "${QUILLON_WINE_DISPLAY:-}" ] || { echo "no display: run through on_display.sh" >&2; exit 1; }

# The row: how the program runs, the request, the emulator's log line that says the point has
# come, the emulator's options, and the outcome.
#   untouched  status 6, the bare stop note, the device as it was (application 3.40, service mode
#              off, no enter-Bootware command)
#   committed  the stop held off through the write (console: its note), status 6, the note of a
#              device restarting with the new controller firmware, the device running 3.50
#   updated    no stop: status 0, the device runs 3.50 with its ESP32 part installed
#   resumable  closing the console while a block is being written: the console's handler holds
#              the close off as long as Windows allows, then Windows ends the program (5 s after
#              the event, whatever it does; the note that the stop is held off comes only between
#              blocks); the device waits in Bootware with its old firmware, not committed
opening=(--fault answer-late --fault-on i --fault-frames 1 --late-ms 2000)
writing=(--fault answer-late --fault-on u --fault-skip 3 --fault-frames 1 --late-ms 3000)
case $row in
  console_ctrl_c_opening)       mode=console action=ctrl-c        point=late   outcome=untouched opts=("${opening[@]}") ;;
  console_ctrl_c_writing)       mode=console action=ctrl-c        point=late   outcome=committed opts=("${writing[@]}") ;;
  console_ctrl_c_reconnect)     mode=console action=ctrl-c        point=commit outcome=committed opts=() ;;
  console_ctrl_break_opening)   mode=console action=ctrl-break    point=late   outcome=untouched opts=("${opening[@]}") ;;
  console_ctrl_break_writing)   mode=console action=ctrl-break    point=late   outcome=committed opts=("${writing[@]}") ;;
  console_close_opening)        mode=console action=close-console point=late   outcome=untouched opts=("${opening[@]}") ;;
  # The block's answer comes later than the 5 s Windows allows after the close.
  console_close_writing)        mode=console action=close-console point=late   outcome=resumable
                                opts=(--fault answer-late --fault-on u --fault-skip 3 --fault-frames 1 --late-ms 6000) ;;
  window_close_opening)         mode=window  action=close-window  point=late   outcome=untouched opts=("${opening[@]}") ;;
  window_close_writing)         mode=window  action=close-window  point=late   outcome=committed opts=("${writing[@]}") ;;
  window_close_reconnect)       mode=window  action=close-window  point=commit outcome=committed opts=() ;;
  # Enter is no stop request: the update goes on to its end.
  window_enter_writing)         mode=window  action=enter-window  point=late   outcome=updated   opts=("${writing[@]}") ;;
  *) echo "unknown row $row" >&2; exit 2 ;;
esac
case $point in
  late) pattern='answering [0-9]* ms late (fault answer-late)' ;;
  commit) pattern='SetSFDeviceUpdateData kind 1 (commit version' ;;
esac

dev=
cleanup() {
  [ -n "$dev" ] && kill "$dev" 2>/dev/null || true
  rm -f "$prefix/dosdevices/com45"
}
trap cleanup EXIT
fail() {
  echo "FAILED ($row): $*" >&2
  for f in report out.txt state; do
    echo "--- $f" >&2
    tr -d '\r' < "$work/$f" >&2 2>/dev/null || true
  done
  echo "--- run log" >&2
  run_log | tr -d '\r' >&2 || true
  echo "--- emulator log (last lines)" >&2
  tail -n 15 "$work/devsim.log" >&2 || true
  exit 1
}
windows() { local p=$1; echo "Z:${p//\//\\}"; }
# A text of the dialog as app/start_and_checks.h spells it (its pieces joined).
constant() {
  awk -v name="$1" '
    index($0, "std::string_view " name " =") { on = 1 }
    on { line = $0; while (match(line, /"([^"\\]|\\.)*"/)) { text = text substr(line, RSTART + 1, RLENGTH - 2); line = substr(line, RSTART + RLENGTH) } }
    on && /;[[:space:]]*$/ { print text; exit }' "$header"
}
state() { sed -n "s/^$1 //p" "$work/state"; }
run_log() { find "$prefix/drive_c/users" -path '*/Quillon/runs/*.log' -newer "$work/started" -exec cat {} + 2>/dev/null; }

rm -rf "$work"
mkdir -p "$work/data/Kalder"
# A restart long enough that the device is still away when a stop after the commit is taken.
"$devsim" --link "$work/port" --serial N11501 --version 340 --throttle --restart-delay 6000 \
  --state-out "$work/state" "${opts[@]}" > "$work/devsim.out" 2> "$work/devsim.log" &
dev=$!
for _ in $(seq 100); do [ -L "$work/port" ] && break; sleep 0.05; done
[ -L "$work/port" ] || fail "the emulator did not publish its port"
[ -f "$prefix/system.reg" ] || "$wine_run" "$prefix" cmd /c exit >/dev/null 2>&1
ln -sfn "$work/port" "$prefix/dosdevices/com45"

args=(--port COM45 --yes)
[ "$mode" = console ] && args+=(--text)
command="$(printf '%q ' "$wine_run" "$prefix" "$helper" "$action" "$(windows "$work/trigger")" \
  "$(windows "$work/report")" "$(windows "$work/out.txt")" "$quillon" "${args[@]}")"
# The run's own log: Wine keeps %LOCALAPPDATA% in the prefix, so it is the one made after this mark.
touch "$work/started"
env -u VELMORA_COM_PORTS VELMORA_COMMON_APPDATA="$(windows "$work/data")" \
  QUILLON_REPORT_HOST= SHELL=/bin/bash script -qec "$command" /dev/null </dev/null > "$work/script.out" 2>&1 &
run=$!
# The row's point, from the emulator's log; the program may not end before it.
until grep -q "$pattern" "$work/devsim.log"; do
  kill -0 "$run" 2>/dev/null || fail "the program ended before the row's point"
  sleep 0.05
done
touch "$work/trigger"
wait "$run" || true
[ -f "$work/report" ] || fail "stop_request.exe wrote no report"
status=$(tr -d '\r' < "$work/report" | sed -n 's/^exit //p')
grep -q '^delivered\|^closed the window\|^pressed enter' "$work/report" || fail "the request was not delivered"

# The device as the run left it; a device that restarts after the commit is waited for.
if [ "$outcome" = committed ] || [ "$outcome" = updated ]; then
  until [ "$(grep -c 'port published' "$work/devsim.log")" -ge 3 ]; do
    kill -0 "$dev" 2>/dev/null || fail "the emulator ended"
    sleep 0.05
  done
fi
kill "$dev"
wait "$dev" || true
dev=
[ -f "$work/state" ] || fail "the emulator wrote no state"

said=$(tr -d '\r' < "$work/out.txt" | tr '\n' ' ' | tr -s ' ')
runlog=$(run_log | tr -d '\r' || true)
held_off=$(constant kStopHeldOff)
[ -n "$held_off" ] || fail "no kStopHeldOff in $header"
case $outcome in
  untouched)
    if [ "$action" = close-console ]; then
      # Windows ends the program once its handler returns; the program may have ended first.
      [ "$status" = 6 ] || [ "$status" = 3221225786 ] || fail "exit status $status"
    else
      [ "$status" = 6 ] || fail "exit status $status, not 6"
    fi
    [ "$mode" = window ] || tr -d '\r' < "$work/out.txt" | grep -qxF "$(constant kStopped)" || fail "no stop note"
    [ "$(state runs)" = application ] && [ "$(state version)" = 340 ] || fail "the device was changed"
    [ "$(state service-mode)" = off ] || fail "the device was left in service mode"
    [ "$(state enter-bootware-sent)" = 0 ] && [ "$(state blocks-written)" = 0 ] || fail "the device was sent into Bootware"
    ;;
  committed)
    [ "$status" = 6 ] || fail "exit status $status, not 6"
    if [ "$mode" = console ]; then
      [ "$point" = commit ] || grep -qF "$held_off" <<<"$said" || fail "no note that the stop is held off"
      grep -qF "$(constant kStoppedWithoutEsp32Part)" <<<"$said" || fail "no note of the new controller firmware"
    fi
    [ "$(state commits)" = 1 ] || fail "the update did not reach its commit"
    [ "$(state runs)" = application ] && [ "$(state version)" = 350 ] || fail "the device does not run 3.50"
    ;;
  updated)
    [ "$status" = 0 ] || fail "exit status $status, not 0"
    [ "$(state commits)" = 1 ] && [ "$(state installs)" = 1 ] || fail "the update did not finish"
    [ "$(state runs)" = application ] && [ "$(state version)" = 350 ] || fail "the device does not run 3.50"
    ;;
  resumable)
    # The handler held the close off as long as Windows lets it (4.5 of the 5 s), waiting for a
    # safe point that the write did not reach in time.
    waited=$(tr -d '\r' < "$work/report" | sed -n 's/^the handler returned after \([0-9]*\) ms: the system ended the program$/\1/p')
    [ -n "$waited" ] && [ "$waited" -ge 4000 ] || fail "the handler did not hold the close off"
    [ "$status" = 3221225786 ] || fail "exit status $status"
    [ "$(state runs)" = bootware ] && [ "$(state commits)" = 0 ] && [ "$(state version)" = 340 ] ||
      fail "the device is not waiting in Bootware with its old firmware"
    ;;
esac
case $outcome in
  untouched | committed) grep -q "stopped at the user's request" <<<"$runlog" || fail "the run log has no stop" ;;
esac
echo "$row: exit status $status, device: $(state runs) $(state version), service mode $(state service-mode), $(state commits) commit(s)"
