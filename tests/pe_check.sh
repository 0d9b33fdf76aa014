#!/usr/bin/env bash
# Checks the built Windows program itself with binutils: its PE format and
# machine, the console subsystem, imports of known DLLs only, each of them
# on the oldest Windows the program is for (XP for x86, XP x64 and Server
# 2003 for x64), and the embedded manifest and version information.
# Usage: pe_check.sh PROGRAM.exe MINGW_TRIPLE PROCESSOR
set -uo pipefail
exe="$1" triple="$2" processor="$3"
here=$(dirname "$(realpath "$0")")
source "$here/lib.sh"

headers=$("$triple-objdump" -p "$exe")
if [[ "$processor" == x86 ]]; then
  check_cmd "PE32 for Intel 80386" grep -q 'file format pei-i386' <<<"$headers"
  check_cmd "file(1) agrees" grep -q 'PE32 executable (console) Intel 80386' <<<"$(file "$exe")"
  floor=5.1 winnt=0x0501
else
  check_cmd "PE32+ for x86-64" grep -q 'file format pei-x86-64' <<<"$headers"
  floor=5.2 winnt=0x0502
fi
check_cmd "console subsystem" grep -q 'Subsystem.*(Windows CUI)' <<<"$headers"

# Imports only from known DLLs, which Windows takes from the system directory
# whatever lies beside the program: KERNEL32 on every Windows, and MSVCRT,
# listed by name from Windows 7 on and before that a known DLL as an import
# of listed ones (the system makes their imports known DLLs too). Any other
# DLL is loaded from the system directory by full path when first used.
dlls=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | tr 'a-z' 'A-Z' | sort -u | tr '\n' ' ')
check "imports only known DLLs" "KERNEL32.DLL MSVCRT.DLL " "$dlls"

check "the header's OS and subsystem versions are Windows $floor" \
  "${floor/./ } ${floor/./ } " \
  "$(awk '/^M(aj|in)or(OSystem|Subsystem)Version/ { printf "%s ", $2 }' <<<"$headers")"

# Every import, against the list of the Windows that brought each.
imports=$(awk '/DLL Name:/ { dll = toupper($3); next }
  dll != "" && /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ { print dll, $3 }
  /^$/ { dll = "" }' <<<"$headers" | sort -u)
check "each of the $(wc -l <<<"$imports") imports is listed and exists on Windows $floor" "" "$(
  awk -v floor="$floor" 'NR == FNR { for (i = 3; i <= NF; i++) if ($1 !~ /^#/) need[$1 " " $i] = $2; next }
    !($0 in need) { print "not listed: " $0 } need[$0] + 0 > floor + 0 { print $0 " needs Windows " need[$0] }' \
    "$here/windows_imports.txt" - <<<"$imports")"
# The headers agree: under _WIN32_WINNT of the floor they declare every
# system call imported (the C runtime's own are not theirs to gate).
declared=$(echo '#include <windows.h>' |
  "$triple-gcc" -E -D_WIN32_WINNT=$winnt -x c - | grep -ow '[A-Za-z_][A-Za-z0-9_]*' | sort -u)
check "the headers at _WIN32_WINNT $winnt declare every KERNEL32 import" "" "$(
  sed -n 's/^KERNEL32.DLL \([A-Za-z][A-Za-z0-9]*\)$/\1/p' <<<"$imports" |
    comm -23 - <(echo "$declared"))"

rsrc=$(mktemp)
trap 'rm -f "$rsrc"' EXIT
"$triple-objcopy" -O binary --only-section=.rsrc "$exe" "$rsrc"
level=$(grep -ao '<requestedExecutionLevel[^>]*>' "$rsrc")
check_cmd "manifest asks for asInvoker" grep -q 'level="asInvoker"' <<<"$level"
check_cmd "manifest has uiAccess false" grep -q 'uiAccess="false"' <<<"$level"
# Vista, 7, 8, 8.1 and 10/11, each by its identifier.
check "manifest names Windows Vista to 11 as supported" 5 "$(grep -aoE \
  'supportedOS Id="\{(e2011457|35138b9a|4a2f28e3|1f676c76|8e0f7a12)' "$rsrc" | sort -u | wc -l)"
# Version strings are UTF-16 in the resource.
strings16=$(strings -e l "$rsrc")
check_cmd "version resource names the product" grep -qx 'arpexport' <<<"$strings16"
check_cmd "version resource has a file version" grep -qE '^[0-9]+\.[0-9]+\.[0-9]+$' <<<"$strings16"

finish pe_check
