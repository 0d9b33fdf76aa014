#!/usr/bin/env bash
# Checks the built Windows program itself with binutils: its PE format and
# machine, the console subsystem, imports of system DLLs only, and the
# embedded manifest and version information.
# Usage: pe_check.sh PROGRAM.exe MINGW_TRIPLE PROCESSOR
set -uo pipefail
exe="$1" triple="$2" processor="$3"
source "$(dirname "$(realpath "$0")")/lib.sh"

headers=$("$triple-objdump" -p "$exe")
if [[ "$processor" == x86 ]]; then
  check_cmd "PE32 for Intel 80386" grep -q 'file format pei-i386' <<<"$headers"
  check_cmd "file(1) agrees" grep -q 'PE32 executable (console) Intel 80386' <<<"$(file "$exe")"
else
  check_cmd "PE32+ for x86-64" grep -q 'file format pei-x86-64' <<<"$headers"
fi
check_cmd "console subsystem" grep -q 'Subsystem.*(Windows CUI)' <<<"$headers"

dlls=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | tr 'a-z' 'A-Z' | sort -u | tr '\n' ' ')
check_cmd "imports only system DLLs ($dlls)" \
  test "$dlls" == "IPHLPAPI.DLL KERNEL32.DLL MSVCRT.DLL WS2_32.DLL "

rsrc=$(mktemp)
trap 'rm -f "$rsrc"' EXIT
"$triple-objcopy" -O binary --only-section=.rsrc "$exe" "$rsrc"
level=$(grep -ao '<requestedExecutionLevel[^>]*>' "$rsrc")
check_cmd "manifest asks for asInvoker" grep -q 'level="asInvoker"' <<<"$level"
check_cmd "manifest has uiAccess false" grep -q 'uiAccess="false"' <<<"$level"
# Version strings are UTF-16 in the resource.
strings16=$(strings -e l "$rsrc")
check_cmd "version resource names the product" grep -qx 'arpexport' <<<"$strings16"
check_cmd "version resource has a file version" grep -qE '^[0-9]+\.[0-9]+\.[0-9]+$' <<<"$strings16"

finish pe_check
