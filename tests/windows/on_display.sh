#!/usr/bin/env bash
# Runs a command with the virtual display that xvfb.sh started (its name in FILE) handed to
# Wine's programs, or without a display when there is none yet (listing the tests). The output
# goes through a file: a process that Wine starts for the desktop may outlive the command, and
# must not hold the test runner's pipe.
# Usage: on_display.sh FILE COMMAND [ARGS...]
set -uo pipefail
file=$1
shift
[ -s "$file" ] && export QUILLON_WINE_DISPLAY=$(cat "$file")
log=$(mktemp)
"$@" </dev/null >"$log" 2>&1 3>&- 4>&- 5>&-
status=$?
cat "$log"
rm -f "$log"
exit $status
