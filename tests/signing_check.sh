#!/usr/bin/env bash
# Signed releases, with keys of this test's own: a CA and a code-signing
# certificate made by openssl, an OpenPGP key made by gpg, and a time-stamp
# server on loopback. `make package` given them signs both Windows programs
# (Authenticode, SHA-256, timestamped) and SHA256SUMS (SHA256SUMS.asc);
# each signature verifies and fails once a byte is changed; a signed program
# differs from its unsigned build only in its signature and still writes the
# whole table under Wine. Keys it cannot use stop it with a clear message,
# no password in it, and no release files.
# Usage: signing_check.sh DIST BUILD   (the unsigned release files, and the
#        build trees that `make package` made them in)
set -uo pipefail
dist=$(realpath "$1") build=$(realpath "$2")
here=$(dirname "$(realpath "$0")")
source "$here/lib.sh"
top=$(dirname "$here")
work=$(mktemp -d)
export GNUPGHOME="$work/gnupg"
signed="$build/dist-signed"
cleanup() {
  [[ -n "${tsa:-}" ]] && kill "$tsa" 2>/dev/null
  gpgconf --kill gpg-agent 2>/dev/null
  netns_cleanup
  rm -rf "$work" "$signed"
}
trap cleanup EXIT
cd "$work" || exit 1

# The keys, as an owner would hand them over: a PKCS#12 file and an OpenPGP
# secret key, each with its password in a file of its own.
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 2 \
  -subj "/CN=arpexport test CA" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr \
  -subj "/CN=arpexport test signer" 2>/dev/null
openssl x509 -req -in signer.csr -CA ca.crt -CAkey ca.key -CAcreateserial \
  -out signer.crt -days 2 2>/dev/null \
  -extfile <(printf 'keyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n')
echo "pkcs12 pass $RANDOM" >p12.pass
openssl pkcs12 -export -in signer.crt -inkey signer.key -out signer.p12 -passout file:p12.pass
mkdir -m 700 "$GNUPGHOME"
echo "openpgp pass $RANDOM" >pgp.pass
gpg --batch --quiet --pinentry-mode loopback --passphrase-file pgp.pass \
  --quick-gen-key "arpexport test <test@example.org>" ed25519 sign 1d 2>/dev/null
gpg --batch --pinentry-mode loopback --passphrase-file pgp.pass --armor \
  --export-secret-keys >pgp.key
gpg --batch --quiet --passphrase '' --faked-system-time 20200101T000000 \
  --quick-gen-key "arpexport old <old@example.org>" ed25519 sign 1d 2>/dev/null
gpg --batch --armor --export-secret-keys old@example.org >expired.key
echo wrong >wrong.pass

# A time-stamp server (RFC 3161) on loopback, answering with openssl ts.
openssl req -x509 -newkey rsa:2048 -nodes -keyout tsa.key -out tsa.crt -days 2 \
  -subj "/CN=arpexport test TSA" -addext "basicConstraints=critical,CA:FALSE" \
  -addext "extendedKeyUsage=critical,timeStamping" 2>/dev/null
cat >tsa.cnf <<'EOF'
[tsa]
default_tsa = tsa_config
[tsa_config]
serial = ./tsa.serial
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256
ess_cert_id_alg = sha256
EOF
echo 01 >tsa.serial
python3 - <<'PY' &
import http.server, subprocess
class Tsa(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(
            ["openssl", "ts", "-reply", "-config", "tsa.cnf", "-section", "tsa_config",
             "-queryfile", "/dev/stdin", "-signer", "tsa.crt", "-inkey", "tsa.key",
             "-out", "/dev/stdout"], input=query, capture_output=True, check=True).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(("127.0.0.1", 0), Tsa)
open("tsa.port", "w").write(str(server.server_address[1]))
server.serve_forever()
PY
tsa=$!
for _ in $(seq 50); do [[ -s tsa.port ]] && break; sleep 0.1; done

keys=(ARPEXPORT_AUTHENTICODE_KEY="$work/signer.p12"
  ARPEXPORT_AUTHENTICODE_PASSWORD_FILE="$work/p12.pass"
  ARPEXPORT_AUTHENTICODE_TIMESTAMP="http://127.0.0.1:$(cat tsa.port)/"
  ARPEXPORT_OPENPGP_KEY="$work/pgp.key"
  ARPEXPORT_OPENPGP_PASSWORD_FILE="$work/pgp.pass")
# refused NAME EXPECTED_MESSAGE VAR=VALUE...: scripts/sign check, given the
# keys with these changes, fails with that message and no password.
refused() {
  local out
  out=$(env "${keys[@]}" "${@:3}" "$top/scripts/sign" check 2>&1)
  check "refused: $1" "1|$2|" "$?|$(grep -o "$2" <<<"$out")|$(grep -F -f p12.pass -f pgp.pass <<<"$out")"
}
refused "a PKCS#12 file that is missing" "not a readable file" \
  ARPEXPORT_AUTHENTICODE_KEY="$work/missing.p12"
refused "a PKCS#12 file that is not one" "not a PKCS#12 file" \
  ARPEXPORT_AUTHENTICODE_KEY="$work/ca.crt"
refused "the wrong password" "not a PKCS#12 file that the password in $work/wrong.pass opens" \
  ARPEXPORT_AUTHENTICODE_PASSWORD_FILE="$work/wrong.pass"
refused "no password file" "an empty password" ARPEXPORT_AUTHENTICODE_PASSWORD_FILE=
refused "an OpenPGP key that is missing" "not a readable file" \
  ARPEXPORT_OPENPGP_KEY="$work/missing.key"
refused "an expired OpenPGP key" "has expired" ARPEXPORT_OPENPGP_KEY="$work/expired.key"
refused "an OpenPGP passphrase not given" "cannot sign without its passphrase" \
  ARPEXPORT_OPENPGP_PASSWORD_FILE=
refused "the wrong OpenPGP passphrase" "cannot sign with the passphrase in $work/wrong.pass" \
  ARPEXPORT_OPENPGP_PASSWORD_FILE="$work/wrong.pass"
out=$(cd "$top" && env "${keys[@]}" ARPEXPORT_AUTHENTICODE_PASSWORD_FILE="$work/wrong.pass" \
  make --no-print-directory package DIST="$signed" 2>&1)
check "make package with a key it cannot use: stops, no release files" "2:no dist" \
  "$?:$([[ -e "$signed" ]] || echo no dist)"
# A signing that fails once the program is staged makes no package either.
out=$(cd "$build/windows-x86" && env "${keys[@]}" ARPEXPORT_AUTHENTICODE_PASSWORD_FILE="$work/wrong.pass" \
  cpack -G ZIP -B "$work/unsigned-zip" 2>&1)
check "a Windows program that cannot be signed: no ZIP" "1:" "$?:$(ls "$work/unsigned-zip"/*.zip 2>/dev/null)"

out=$(cd "$top" && env "${keys[@]}" make --no-print-directory package DIST="$signed" 2>&1)
check "make package with the keys: succeeds, says what it signs" "0:2" \
  "$?:$(grep -cE '^sign: (the Windows programs are signed by CN = arpexport test signer, timestamped|SHA256SUMS is signed by)' <<<"$out")"
check "no password in its output" "" "$(grep -F -f p12.pass -f pgp.pass <<<"$out")"

for arch in x86 x64; do
  unzip -q -o "$signed/arpexport-"*"-windows-$arch.zip" arpexport.exe -d "$arch"
  exe="$arch/arpexport.exe"
  check_cmd "$arch: the signature and its timestamp verify against the test CA" \
    osslsigncode verify -CAfile ca.crt -TSA-CAfile tsa.crt -in "$exe"
  cp "$exe" "$arch/changed.exe"
  printf '\x5a' | dd of="$arch/changed.exe" bs=1 seek=1100 conv=notrunc status=none
  check_cmd "$arch: a byte changed fails verification" \
    bash -c '! osslsigncode verify -CAfile "$1" -TSA-CAfile "$2" -in "$0"' \
    "$arch/changed.exe" ca.crt tsa.crt
  osslsigncode remove-signature -in "$exe" -out "$arch/removed.exe" >/dev/null
  unzip -q -p "$dist/arpexport-"*"-windows-$arch.zip" arpexport.exe >"$arch/unsigned.exe"
  check_cmd "$arch: without its signature, the unsigned release's program to the byte" \
    cmp "$arch/removed.exe" "$arch/unsigned.exe"
done

gpg --batch --quiet --yes --delete-secret-keys --pinentry-mode loopback \
  "$(gpg --with-colons --list-secret-keys test@example.org | awk -F: '/^fpr:/ { print $10; exit }')" 2>/dev/null
check_cmd "SHA256SUMS.asc verifies with the public key alone" \
  gpg --batch --verify "$signed/SHA256SUMS.asc" "$signed/SHA256SUMS"
check_cmd "the signed release files match SHA256SUMS" \
  bash -c 'cd "$0" && sha256sum -c --quiet SHA256SUMS' "$signed"
sed -i '1s/^./0/' "$signed/SHA256SUMS"
check_cmd "a changed SHA256SUMS fails verification" \
  bash -c '! gpg --batch --verify "$0/SHA256SUMS.asc" "$0/SHA256SUMS"' "$signed"

# The signed programs run as before: the whole table, under Wine where it
# runs them.
ns=$(netns_make signed) || exit $?
netns_fill "$ns" 50
for arch in x86 x64; do
  runner="$build/windows-$arch/wine-run"
  [[ "$arch" == x86 && ! -x /usr/lib/wine/wine ]] && continue
  out=$(ip netns exec "$ns" "$runner" cmd /c ver 2>/dev/null) || continue
  rm -f output.txt
  out=$(ip netns exec "$ns" "$runner" "$arch/arpexport.exe")
  check "$arch: the signed program writes the whole table under Wine" "0:|0" \
    "$?:$out|$(comm -13 <(tr -d '\r' <output.txt | sort) <(netns_expected "$ns" | sort) | wc -l)"
done

finish signing_check
