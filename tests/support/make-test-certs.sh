#!/usr/bin/env bash
# Makes the certificates of the encrypted-transport tests under OUT_DIR, once
# (a folder that is complete is left as it is, since the test CA is already
# trusted in the test prefix):
#   ca.pem ca.der         the test CA, which the tests trust in their prefix only
#   server.pem server.key a certificate for DNS name localhost, from the CA (chain: leaf, CA)
#   wrongname.pem/.key    from the CA, for another name
#   selfmade.pem/.key     self-signed for localhost: untrusted, but fine to pin
#   partial.pem/.key      for localhost from an intermediate CA that the
#                         server does not send (a partial chain)
#   NAME.sha256           each certificate's SHA-256 fingerprint, AB:CD:... form
# Usage: make-test-certs.sh OUT_DIR
set -euo pipefail
out=$1
[ -f "$out/complete" ] && exit 0
rm -rf "$out"
mkdir -p "$out"
cd "$out"

key() { openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1" 2>/dev/null; }
ca_ext() { printf '%s\n' "basicConstraints=critical,CA:TRUE" "keyUsage=critical,keyCertSign,cRLSign"; }
leaf_ext() {
  printf '%s\n' "basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature,keyEncipherment" \
    "extendedKeyUsage=serverAuth" "subjectAltName=DNS:$1" "authorityKeyIdentifier=keyid"
}
# sign NAME SUBJECT_CN DNS ISSUER
sign() {
  key "$1.key"
  openssl req -new -key "$1.key" -subj "/CN=$2" -out "$1.csr"
  openssl x509 -req -in "$1.csr" -CA "$4.pem" -CAkey "$4.key" -CAcreateserial -days 3650 -sha256 \
    -extfile <(leaf_ext "$3") -out "$1.leaf.pem" 2>/dev/null
}

key ca.key
openssl req -x509 -new -key ca.key -subj "/CN=VexaIM Test CA" -days 3650 -sha256 \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" -out ca.pem
openssl x509 -in ca.pem -outform DER -out ca.der

sign server localhost localhost ca
cat server.leaf.pem ca.pem > server.pem
sign wrongname otherhost.test otherhost.test ca
cat wrongname.leaf.pem ca.pem > wrongname.pem

key selfmade.key
openssl req -x509 -new -key selfmade.key -subj "/CN=localhost" -days 3650 -sha256 \
  -addext "subjectAltName=DNS:localhost" -addext "extendedKeyUsage=serverAuth" -out selfmade.pem

# An intermediate CA under the test CA; its leaf is served alone.
key intermediate.key
openssl req -new -key intermediate.key -subj "/CN=VexaIM Test Intermediate" -out intermediate.csr
openssl x509 -req -in intermediate.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 3650 -sha256 \
  -extfile <(ca_ext) -out intermediate.pem 2>/dev/null
sign partial localhost localhost intermediate
cp partial.leaf.pem partial.pem

for name in server wrongname selfmade partial; do
  openssl x509 -in "$name.pem" -noout -fingerprint -sha256 | sed 's/^.*=//' > "$name.sha256"
done
rm -f ./*.csr ./*.srl
touch complete
