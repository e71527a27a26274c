#!/usr/bin/env bash
# The Windows installer under Wine: a silent install puts the programs and the README into
# Program Files\Quillon even when asked for another folder, makes the library folder
# ProgramData\Kalder (its permissions are set there, which Wine does not keep: installer_acl_test
# checks them), the Start-menu entries for every user and the uninstall entry into the registry;
# the installed program runs; the silent uninstall takes all of it away again but the library
# folder, which holds the library's marker and log. The zip holds the same programs and the README.
# Usage: installer_wine.sh WINE-RUN PREFIX SETUP.EXE ZIP PROGRAM-NAME
set -euo pipefail
wine_run=$1 prefix=$(realpath -m "$2") setup=$3 zip=$4 program=$5
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillon'
dir="$prefix/drive_c/Program Files/Quillon"
elsewhere="$prefix/drive_c/Elsewhere"
kalder="$prefix/drive_c/ProgramData/Kalder"
menu="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Quillon"
fail() { echo "FAILED: $*" >&2; exit 1; }
[ -f "$prefix/system.reg" ] || "$wine_run" "$prefix" cmd /c exit >/dev/null 2>&1

unzip -Z1 "$zip" | sort > /tmp/installer-zip-$$.txt
for f in "$program" velmora-diag.exe README.txt; do
  grep -q "/$f\$" /tmp/installer-zip-$$.txt || { rm -f /tmp/installer-zip-$$.txt; fail "the zip lacks $f"; }
done
rm -f /tmp/installer-zip-$$.txt
rm -rf "$kalder" "$elsewhere"  # made by the installer below, not left from before

"$wine_run" "$prefix" "$setup" /S '/D=C:\Elsewhere' </dev/null >/dev/null 2>&1 || fail "the installer ended with $?"
for f in "$program" velmora-diag.exe README.txt uninstall.exe; do [ -f "$dir/$f" ] || fail "no $f in Program Files\\Quillon"; done
[ ! -e "$elsewhere" ] || fail "the installer took the folder /D= named"
[ -d "$kalder" ] || fail "no library folder ProgramData\\Kalder"
[ -f "$menu/Quillon firmware update.lnk" ] || fail "no Start-menu entry"
[ -f "$menu/Uninstall Quillon.lnk" ] || fail "no Start-menu entry for the uninstaller"
"$wine_run" "$prefix" reg query "$key" /v UninstallString </dev/null 2>/dev/null | grep -q 'uninstall.exe' ||
  fail "no uninstall entry in the registry"
version=$("$wine_run" "$prefix" "C:\\Program Files\\Quillon\\$program" --version </dev/null 2>&1 | tr -d '\r')
grep -q '^Quillon ' <<<"$version" || fail "the installed program did not run: $version"

# The uninstaller runs a copy of itself from the temporary folder and returns at once: wait for
# the copy.
"$wine_run" "$prefix" "C:\\Program Files\\Quillon\\uninstall.exe" /S </dev/null >/dev/null 2>&1 ||
  fail "the uninstaller ended with $?"
for _ in $(seq 120); do [ -e "$dir/uninstall.exe" ] || [ -e "$menu" ] || break; sleep 0.25; done
sleep 0.5
for f in "$program" velmora-diag.exe README.txt; do [ ! -e "$dir/$f" ] || fail "$f is still installed"; done
[ ! -e "$menu" ] || fail "the Start-menu entries are still there"
if "$wine_run" "$prefix" reg query "$key" </dev/null >/dev/null 2>&1; then fail "the uninstall entry is still there"; fi
[ ! -e "$dir" ] || fail "Program Files\\Quillon is still there"
[ -d "$kalder" ] || fail "the uninstaller took the library folder"
echo "installed, ran and uninstalled $(basename "$setup") under Wine"
