#!/usr/bin/env bash
# Checks the release files as a user meets them: their checksums hold; the
# Debian packages are clean for lintian and say what they depend on; the
# one for this machine installs (into a scratch root, or the real system
# under CI), its program runs and its manual page is found, and it removes
# cleanly; the static program for this machine writes a namespace's table
# from a root that holds nothing else, and the arm64 and armhf ones start
# under qemu-user and report that it carries no neighbour messages; the Windows
# ZIP holds the program and its text. And the sources build without
# GoogleTest, as a packager may.
# Usage: package_check.sh DIST   (the directory with SHA256SUMS)
set -uo pipefail
dist=$(realpath "$1")
here=$(dirname "$(realpath "$0")")
source "$here/lib.sh"
deb=$(echo "$dist"/arpexport_*_"$(dpkg --print-architecture)".deb)
zip=$(echo "$dist"/*.zip)
work=$(mktemp -d)
trap 'netns_cleanup; rm -rf "$work"' EXIT

check_cmd "sha256sum -c SHA256SUMS, over every release file" bash -c \
  'cd "$0" && sha256sum -c --quiet SHA256SUMS &&
   [[ "$(cut -d" " -f3 SHA256SUMS | sort)" == "$(ls | grep -vx SHA256SUMS | sort)" ]]' "$dist"
check "the Debian changelog's version is the project's" "$(dpkg-deb -f "$deb" Version)" \
  "$(dpkg-parsechangelog -l "$here/../packaging/changelog" -S Version)"

# The description as packaging/description.txt has it, in the control
# file's form: the summary, then each line indented, an empty one as " .".
description=$(sed -e '1!s/^$/./' -e '1!s/^/ /' "$here/../packaging/description.txt")
for package in "$dist"/*.deb; do
  check "$(basename "$package"): the description, word for word" "$description" \
    "$(dpkg-deb -f "$package" Description)"
  check_cmd "$(basename "$package"): lintian reports no errors or warnings" \
    bash -c '! lintian "$0" 2>/dev/null | grep -E "^[EW]:"' "$package"
  check_cmd "$(basename "$package"): depends on the C library it was linked with" \
    bash -c 'dpkg-deb -f "$0" Depends | grep -q "libc6 (>="' "$package"
done

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

ns=$(netns_make static) || exit $?
netns_fill "$ns" 200
ip -n "$ns" neigh add 10.66.1.2 lladdr 0a:ff:00:1b:2c:3d dev v0 nud stale
for tgz in "$dist"/*-linux-*.tar.gz; do
  name=$(basename "$tgz" .tar.gz)
  root="$work/$name-root"
  check_cmd "$name: the program, its manual page and README" \
    bash -c '[[ "$(tar -tzf "$0" | cut -d/ -f2- | sort | tr "\n" " ")" == " README.txt arpexport arpexport.1 " ]]' "$tgz"
  mkdir "$root"
  tar -C "$work" -xzf "$tgz"
  cp "$work/$name/arpexport" "$root/"
  check_cmd "$name: statically linked" \
    bash -c 'file "$0" | grep -q "statically linked"' "$root/arpexport"
  if [[ "$name" == *-"$(uname -m)" ]]; then
    ip netns exec "$ns" chroot "$root" /arpexport
    check "$name: from a root that holds only the program, the namespace's table" \
      "$(netns_expected "$ns")" "$(cat "$root/output.txt")"
  else
    qemu=qemu-${name##*-linux-}
    qemu=${qemu/armv7l/arm}
    command -v "$qemu" >/dev/null &&
      check "$name: starts under qemu-user, which carries no neighbour messages" \
        "GetIpNetTable failed.
	Error: The request is not supported." "$(cd "$root" && ip netns exec "$ns" "$qemu" ./arpexport)"
  fi
done

check_cmd "configures and builds without GoogleTest" bash -c \
  'cmake -S "$0" -B "$1" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >/dev/null &&
   cmake --build "$1" >/dev/null && test -x "$1/arpexport"' "$here/.." "$work/nogtest"
check "cmake --install installs the program and its manual page, no more" \
  "bin/arpexport share/man/man1/arpexport.1.gz " \
  "$(cmake --install "$work/nogtest" --prefix "$work/prefix" >/dev/null &&
    cd "$work/prefix" && find . -type f | cut -c3- | sort | tr '\n' ' ')"

finish package
