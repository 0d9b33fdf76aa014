#!/usr/bin/env bash
# Checks the packages as a user meets them: the Debian package is clean for
# lintian, installs (into a scratch root, or the real system under CI),
# its program runs and its manual page is found, and it removes cleanly;
# the Windows ZIP holds the program and its text.
# Usage: package_check.sh PACKAGE.deb PACKAGE.zip
set -uo pipefail
deb=$(realpath "$1") zip=$(realpath "$2")
source "$(dirname "$(realpath "$0")")/lib.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

check_cmd "lintian reports no errors or warnings" \
  bash -c '! lintian "$0" 2>/dev/null | grep -E "^[EW]:"' "$deb"
check_cmd "depends on what dpkg-shlibdeps found" \
  bash -c 'dpkg-deb -f "$0" Depends | grep -q "libc6 (>="' "$deb"

if [[ "${CI:-}" == "true" ]]; then
  root=/ dpkg=(dpkg) manpath=()
else
  # A scratch root with a dpkg database of its own; the system's libraries
  # are not in it, hence --force-depends.
  root="$work/root"
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  touch "$root/var/lib/dpkg/status"
  dpkg=(dpkg --root="$root" --force-depends --force-not-root)
  manpath=(-M "$root/usr/share/man")
fi
echo "installing into $root"
check_cmd "installs" "${dpkg[@]}" -i "$deb"
check_cmd "the program is installed" test -x "$root/usr/bin/arpexport"
run_installed() {
  cd "$work" && rm -f output.txt && out=$("$root/usr/bin/arpexport" --version) &&
    [[ -z "$out" && -f output.txt ]]
}
check_cmd "the installed program runs, prints nothing, writes output.txt" run_installed
check_cmd "man finds the manual page" \
  bash -c '[[ "$(man "$@" -w arpexport)" == */man1/arpexport.1.gz ]]' _ "${manpath[@]}"
check_cmd "the manual page renders" \
  bash -c 'MANWIDTH=80 man "$@" arpexport | grep -q "EXIT STATUS"' _ "${manpath[@]}"
check_cmd "removes" "${dpkg[@]}" -r arpexport
check_cmd "nothing is left behind" \
  test ! -e "$root/usr/bin/arpexport" -a ! -e "$root/usr/share/man/man1/arpexport.1.gz"

check_cmd "the ZIP holds the program and its text" \
  bash -c '[[ "$(unzip -Z1 "$0" | sort | tr "\n" " ")" == "README.txt arpexport.exe " ]]' "$zip"
check_cmd "the ZIP's program is the 32-bit console program" \
  bash -c 'unzip -p "$0" arpexport.exe > "$1/a.exe" &&
    file "$1/a.exe" | grep -q "PE32 executable (console) Intel 80386"' "$zip" "$work"

finish package
