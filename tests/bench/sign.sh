#!/usr/bin/env bash
# Signs files in place with Authenticode, using a throwaway CA and code-signing certificate that
# are made once in <cert-dir>.
#   tests/bench/sign.sh <cert-dir> <file>...
set -euo pipefail
certs=$1
shift
mkdir -p "$certs"
if [ ! -f "$certs/chain.pem" ]; then
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=Pondrel Test CA" \
    -keyout "$certs/ca.key" -out "$certs/ca.pem" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -subj "/CN=Pondrel Test Publisher" \
    -keyout "$certs/signer.key" -out "$certs/signer.csr" 2>/dev/null
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' > "$certs/signer.ext"
  openssl x509 -req -in "$certs/signer.csr" -CA "$certs/ca.pem" -CAkey "$certs/ca.key" -CAcreateserial \
    -days 3650 -extfile "$certs/signer.ext" -out "$certs/signer.pem" 2>/dev/null
  cat "$certs/signer.pem" "$certs/ca.pem" > "$certs/chain.pem"
fi
for file in "$@"; do
  osslsigncode sign -certs "$certs/chain.pem" -key "$certs/signer.key" -n "Pondrel test" \
    -in "$file" -out "$file.signed" >/dev/null
  mv -f "$file.signed" "$file"
done
