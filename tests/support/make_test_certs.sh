#!/usr/bin/env bash
# Makes the certificates the https tests serve, with the openssl command
# line: tests/support/make_test_certs.sh DIR. In DIR afterwards:
#   ca.pem          the test CA, which a client is told to trust
#   server.key      the one key every server certificate below is for
#   good.pem        for 127.0.0.1 and localhost, from the test CA
#   other-name.pem  for other.example only, from the test CA
#   expired.pem     for 127.0.0.1 and localhost, from the test CA, valid
#                   for one day in 2020
#   untrusted.pem   for 127.0.0.1 and localhost, from another CA that has
#                   the test CA's very name, so only its key tells them
#                   apart
# RSA throughout: every TLS stack the client runs on takes it.
set -euo pipefail
dir=$1
mkdir -p "$dir"
cd "$dir"
rm -rf db && mkdir db && : >db/index.txt && echo 1000 >db/serial

cat >openssl.cnf <<'EOF'
[ca]
default_ca = test_ca
[test_ca]
database = db/index.txt
serial = db/serial
new_certs_dir = db
default_md = sha256
policy = any_name
unique_subject = no
copy_extensions = none
[any_name]
commonName = supplied
[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[server_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1, DNS:localhost
authorityKeyIdentifier = keyid
[other_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:other.example
authorityKeyIdentifier = keyid
EOF

quiet() { "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; "$@"; exit 1; }; }
key() { quiet openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1"; }
sign() {  # sign CA_CERT CA_KEY CSR OUT EXTENSIONS DATES...
  local ca_cert=$1 ca_key=$2 csr=$3 out=$4 ext=$5
  shift 5
  quiet openssl ca -batch -config openssl.cnf -notext -cert "$ca_cert" -keyfile "$ca_key" \
    -in "$csr" -out "$out" -extensions "$ext" "$@"
}

# Two CAs of the same name, valid from well before the expired
# certificate to long after the tests.
for ca in ca rogue-ca; do
  key "$ca.key"
  quiet openssl req -new -key "$ca.key" -subj "/CN=dizedir test CA" -out "$ca.csr"
  sign "$ca.csr" "$ca.key" "$ca.csr" "$ca.pem" ca_ext -selfsign \
    -startdate 20190101000000Z -enddate 20491231000000Z
done

key server.key
quiet openssl req -new -key server.key -subj "/CN=127.0.0.1" -out server.csr
quiet openssl req -new -key server.key -subj "/CN=other.example" -out other.csr
sign ca.pem ca.key server.csr good.pem server_ext -days 30
sign ca.pem ca.key other.csr other-name.pem other_ext -days 30
sign ca.pem ca.key server.csr expired.pem server_ext \
  -startdate 20200101000000Z -enddate 20200102000000Z
sign rogue-ca.pem rogue-ca.key server.csr untrusted.pem server_ext -days 30
rm -f ./*.csr rogue-ca.key
