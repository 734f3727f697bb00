#!/usr/bin/env bash
# Makes the certificates of the HTTPS tests with openssl:
#   https_pki.sh OUT_DIR TRUSTED_CA_FILE
# OUT_DIR/ok.{crt,key}       for 127.0.0.1 and localhost, by the trusted CA
# OUT_DIR/wrong-host.*       for wrong.example only, by the trusted CA
# OUT_DIR/expired.*          for 127.0.0.1, valid only in 2020, by the trusted CA
# OUT_DIR/other-ca.*         for 127.0.0.1, by a second CA nobody trusts
# TRUSTED_CA_FILE            the trusted CA's certificate (PEM)
set -euo pipefail
out=$1
trusted=$2
mkdir -p "$out" "$(dirname "$trusted")"
cd "$out"
rm -rf ca-db && mkdir ca-db && : > ca-db/index.txt && echo 1000 > ca-db/serial

ca() {  # name
  openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 -subj "/CN=Brindax test $1" \
    -keyout "$1.key" -out "$1.pem" 2>/dev/null
}
request() {  # name subject-alt-names
  openssl req -newkey rsa:2048 -nodes -sha256 -subj "/CN=$1" -addext "subjectAltName=$2" \
    -keyout "$1.key" -out "$1.csr" 2>/dev/null
}
cat > ca.cnf <<EOF
[ca]
default_ca = test
[test]
database = ca-db/index.txt
serial = ca-db/serial
new_certs_dir = ca-db
default_md = sha256
policy = any
copy_extensions = copy
unique_subject = no
[any]
commonName = supplied
EOF
sign() {  # name ca-name validity-options...
  local name=$1 issuer=$2
  shift 2
  openssl ca -batch -config ca.cnf -cert "$issuer.pem" -keyfile "$issuer.key" "$@" \
    -in "$name.csr" -out "$name.crt" 2>/dev/null
}

ca trusted-ca
ca untrusted-ca
request ok "IP:127.0.0.1,DNS:localhost"
request wrong-host "DNS:wrong.example"
request expired "IP:127.0.0.1"
request other-ca "IP:127.0.0.1"
sign ok trusted-ca -days 30
sign wrong-host trusted-ca -days 30
sign expired trusted-ca -startdate 20200101000000Z -enddate 20200201000000Z
sign other-ca untrusted-ca -days 30
cp trusted-ca.pem "$trusted.tmp" && mv "$trusted.tmp" "$trusted"
