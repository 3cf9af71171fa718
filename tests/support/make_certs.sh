#!/usr/bin/env bash
# Certificates for the TLS tests, made with the openssl command in DIR:
#   ca.pem ca.key              a private CA
#   server.pem server.key      for 127.0.0.1 and localhost, issued by the CA
#   other.pem other.key        for mail.example.org only, issued by the CA
#   expired.pem expired.key    for 127.0.0.1 and localhost, valid in January 2020
#   future.pem future.key      for 127.0.0.1 and localhost, valid from 2099
#   selfsigned.pem selfsigned.key  for 127.0.0.1 and localhost, its own issuer
# Each .pem holds the certificate alone. Prints nothing on success.
#   make_certs.sh DIR
set -euo pipefail
dir=$1
mkdir -p "$dir/db"
cd "$dir"
: > db/index.txt
echo 1000 > db/serial
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 -out "$1.key" 2>/dev/null; }

cat > ca.cnf <<'CNF'
[ca]
default_ca = test
[test]
database = db/index.txt
serial = db/serial
new_certs_dir = db
default_md = sha256
policy = any
copy_extensions = none
unique_subject = no
default_days = 3650
[any]
commonName = supplied
[loopback]
subjectAltName = IP:127.0.0.1,DNS:localhost
basicConstraints = CA:FALSE
keyUsage = digitalSignature
extendedKeyUsage = serverAuth
[other]
subjectAltName = DNS:mail.example.org
basicConstraints = CA:FALSE
keyUsage = digitalSignature
extendedKeyUsage = serverAuth
CNF

key ca
openssl req -x509 -new -key ca.key -out ca.pem -days 3650 -subj "/CN=Postvane Test CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
    2>/dev/null

issue() { # name commonName section [openssl ca options...]
    local name=$1 cn=$2 section=$3
    shift 3
    key "$name"
    openssl req -new -key "$name.key" -out "$name.csr" -subj "/CN=$cn" 2>/dev/null
    openssl ca -batch -notext -config ca.cnf -cert ca.pem -keyfile ca.key -in "$name.csr" \
        -out "$name.pem" -extensions "$section" "$@" 2>/dev/null
}
issue server localhost loopback
issue other mail.example.org other
issue expired localhost loopback -startdate 20200101000000Z -enddate 20200201000000Z
issue future localhost loopback -startdate 20990101000000Z -enddate 20991231000000Z

key selfsigned
openssl req -x509 -new -key selfsigned.key -out selfsigned.pem -days 3650 -subj "/CN=localhost" \
    -addext subjectAltName=IP:127.0.0.1,DNS:localhost 2>/dev/null
