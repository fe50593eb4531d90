#!/bin/sh
# make_test_certs.sh FOLDER: the TLS tests' certificates, made with the openssl tool (PEM, ECDSA
# P-256 keys without a pass phrase). ca.pem is the CA the tests trust; every server certificate
# goes with server.key:
#   server.pem            localhost, 127.0.0.1 and ::1, signed by ca.pem, valid for 10 years
#   server-expired.pem    the same, valid only on 1 and 2 January 2020
#   server-wronghost.pem  signed by ca.pem, valid, but only for wrong.example
#   server-unknownca.pem  localhost and its addresses, signed by other-ca.pem, which nobody trusts
set -eu
[ $# -eq 1 ] || { echo "usage: $0 FOLDER" >&2; exit 2; }
out=$1
mkdir -p "$out"
work=$(mktemp -d "$out/.ca-work.XXXXXX")
trap 'rm -rf "$work"' EXIT

# One configuration for every step, so nothing depends on the system's openssl.cnf.
cat >"$work/openssl.cnf" <<'CNF'
[ req ]
distinguished_name = req_dn
prompt = no
[ req_dn ]
CN = unused
[ ca_ext ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[ signer ]
database = $ENV::CA_WORK/index.txt
new_certs_dir = $ENV::CA_WORK
rand_serial = yes
default_md = sha256
policy = any_name
unique_subject = no
[ any_name ]
commonName = supplied
[ server_ext ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = $ENV::CERT_NAMES
CNF
export CA_WORK="$work" OPENSSL_CONF="$work/openssl.cnf" CERT_NAMES=unused

new_key() {
    openssl genpkey -quiet -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1"
    chmod 600 "$1"
}
new_ca() {  # NAME COMMON_NAME
    new_key "$out/$1.key"
    openssl req -new -x509 -key "$out/$1.key" -subj "/CN=$2" -days 3650 -extensions ca_ext \
        -out "$out/$1.pem"
}
sign() {  # CA COMMON_NAME SUBJECT_ALT_NAMES OUTPUT [openssl ca validity options...]
    ca=$1 cn=$2 names=$3 output=$4
    shift 4
    : >"$work/index.txt"
    openssl req -new -key "$out/server.key" -subj "/CN=$cn" -out "$work/request.csr"
    CERT_NAMES=$names openssl ca -batch -name signer -notext -cert "$out/$ca.pem" \
        -keyfile "$out/$ca.key" -extensions server_ext -in "$work/request.csr" \
        -out "$out/$output" "$@" 2>"$work/ca.log" || { cat "$work/ca.log" >&2; exit 1; }
}

local_names="DNS:localhost, IP:127.0.0.1, IP:::1"
new_ca ca "zef test CA"
new_ca other-ca "zef unknown test CA"
new_key "$out/server.key"
sign ca localhost "$local_names" server.pem -days 3650
# openssl ca takes explicit dates, which may lie in the past: an honestly expired certificate.
sign ca localhost "$local_names" server-expired.pem -startdate 200101000000Z -enddate 200102000000Z
sign ca wrong.example "DNS:wrong.example" server-wronghost.pem -days 3650
sign other-ca localhost "$local_names" server-unknownca.pem -days 3650
