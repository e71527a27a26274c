#!/usr/bin/env bash
# End to end on Windows: velmora-diag.exe under Wine reads an emulated Norvik 1150 that the
# native quillon-devsim runs on a pseudo-terminal. The port is COM43 of the Wine prefix (a
# dosdevices link to the emulator's published path); the program finds it through the registry
# keys of vendor 2E4C and product 0A1F that this script writes with "wine reg add". The library
# log is switched on in a temporary data folder and checked as well.
# Usage: e2e_diag_wine.sh WINE-RUN PREFIX VELMORA-DIAG.EXE QUILLON-DEVSIM
set -euo pipefail
wine_run=$1 prefix=$(realpath -m "$2") diag=$3 devsim=$4
if [ ! -x "$devsim" ]; then
  echo "No native quillon-devsim at $devsim: build the Linux preset first (cmake --build --preset default)" >&2
  exit 1
fi
[ -f "$prefix/system.reg" ] || "$wine_run" "$prefix" cmd /c exit >/dev/null 2>&1

work=$(mktemp -d)
instance="E2E$$"
device='HKLM\SYSTEM\CurrentControlSet\Enum\USB\VID_2E4C&PID_0a1f'
devsim_pid=
cleanup() {
  [ -n "$devsim_pid" ] && kill "$devsim_pid" 2>/dev/null && wait "$devsim_pid" 2>/dev/null || true
  rm -f "$prefix/dosdevices/com43"
  "$wine_run" "$prefix" reg delete "$device\\$instance" /f >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*" >&2
  echo "--- velmora-diag output" >&2
  cat "$work/out.txt" >&2 || true
  echo "--- library log" >&2
  cat "$work/Kalder/Velmora.log" >&2 || true
  exit 1
}

"$devsim" --link "$work/port" --serial N11501 --version 340 --quiet >"$work/devsim.txt" 2>&1 &
devsim_pid=$!
for _ in $(seq 100); do [ -L "$work/port" ] && break; sleep 0.05; done
[ -L "$work/port" ] || fail "the emulator did not publish its port"
ln -sfn "$work/port" "$prefix/dosdevices/com43"

"$wine_run" "$prefix" reg add "$device\\$instance\\Device Parameters" /v PortName /t REG_SZ /d COM43 /f >/dev/null

mkdir -p "$work/Kalder"
: >"$work/Kalder/VelmoraLog.cfg"
# The data folder as Windows sees it: the Unix root is drive Z:.
appdata="Z:${work//\//\\}"
set +e
env -u VELMORA_COM_PORTS VELMORA_COMMON_APPDATA="$appdata" \
  "$wine_run" "$prefix" "$diag" --service >"$work/out.txt" 2>&1
status=$?
set -e
[ "$status" = 0 ] || fail "velmora-diag ended with $status"

out=$(tr -d '\r' <"$work/out.txt")
grep -Eq '^model +1160-000$' <<<"$out" || fail "no model line"
grep -Eq '^serial +N11501$' <<<"$out" || fail "no serial line"
grep -Eq '^firmware +3\.40 \(application\)$' <<<"$out" || fail "no firmware line"
grep -Eq '^test function state ' <<<"$out" || fail "the service mode did not answer"
grep -q 'failed' <<<"$out" && fail "a query failed"

log="$work/Kalder/Velmora.log"
[ -f "$log" ] || fail "no library log"
# A text file on Windows: every line ends with CR LF.
[ "$(grep -c $'\r$' "$log")" = "$(wc -l <"$log")" ] || fail "log lines without CR LF"
grep -q 'Velmora LOG started' "$log" || fail "no log header"
grep -q '  OS (64-Bit) rev.:' "$log" || fail "no 64-bit OS line"
grep -q 'CUSBCommunication::Open / numAvailableComPorts (1160) 1' "$log" || fail "the port was not found in the registry"
grep -q 'CSerialComPortOperations / OpenCOM: 128000' "$log" || fail "no OpenCOM line"
echo "velmora-diag.exe under Wine read the emulated device on COM43:"
echo "$out"
