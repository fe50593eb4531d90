#!/bin/sh
# make_test_certs.sh FOLDER
#
# Makes, with the openssl command line tool, the certificates the TLS tests use. FOLDER is
# created when missing; files of the same names in it are replaced. Everything is PEM; the keys
# are ECDSA P-256 (quick to make, understood by every TLS 1.2 and 1.3 stack) without a pass
# phrase. Every server certificate below shares server.key.
#
#   ca.pem                 the test CA (trust this one: it is the "CA file" of the tests)
#   ca.key                 its key
#   server.key             the key of every server certificate below
#   server.pem             good: localhost, 127.0.0.1 and ::1, signed by ca.pem, valid for 10 years
#   server-expired.pem     the same names, signed by ca.pem, valid only on 1 and 2 January 2020
#   server-wronghost.pem   signed by ca.pem, valid, but only for wrong.example (no IP addresses)
#   server-unknownca.pem   localhost, 127.0.0.1 and ::1, valid, signed by other-ca.pem
#   other-ca.pem           a CA that nobody is told to trust
#   other-ca.key           its key
#
# A server offers a certificate file together with server.key; a client names ca.pem as its extra
# CA file. Exits non-zero, with openssl's message on stderr, when anything fails.
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 FOLDER" >&2
    exit 2
fi
out=$1
mkdir -p "$out"
work=$(mktemp -d "$out/.ca-work.XXXXXX")
trap 'rm -rf "$work"' EXIT

# One configuration for every step, so nothing depends on the system's openssl.cnf.
cat >"$work/openssl.cnf" <<'EOF'
[ req ]
distinguished_name = req_dn
prompt = no
[ req_dn ]
CN = unused

[ ca_ext ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash

[ ca ]
default_ca = signer
[ signer ]
database = $ENV::CA_WORK/index.txt
new_certs_dir = $ENV::CA_WORK
rand_serial = yes
default_md = sha256
policy = any_name
unique_subject = no
email_in_dn = no
copy_extensions = none
[ any_name ]
commonName = supplied

[ server_ext ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = $ENV::CERT_NAMES
EOF
export CA_WORK="$work"
export OPENSSL_CONF="$work/openssl.cnf"
export CERT_NAMES=unused

new_key() {
    openssl genpkey -quiet -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1"
    chmod 600 "$1"
}

# new_ca NAME COMMON_NAME: NAME.key and a self-signed NAME.pem.
new_ca() {
    new_key "$out/$1.key"
    openssl req -new -x509 -config "$OPENSSL_CONF" -key "$out/$1.key" -subj "/CN=$2" \
        -days 3650 -sha256 -extensions ca_ext -out "$out/$1.pem"
}

# sign CA NAME SUBJECT_ALT_NAMES OUTPUT [openssl ca validity options...]: a certificate for
# server.key, signed by CA, with NAME as its common name.
sign() {
    ca=$1 cn=$2 names=$3 output=$4
    shift 4
    : >"$work/index.txt"
    openssl req -new -config "$OPENSSL_CONF" -key "$out/server.key" -subj "/CN=$cn" \
        -out "$work/request.csr"
    CERT_NAMES=$names openssl ca -batch -config "$OPENSSL_CONF" -notext \
        -cert "$out/$ca.pem" -keyfile "$out/$ca.key" -extensions server_ext \
        -in "$work/request.csr" -out "$out/$output" "$@" 2>"$work/ca.log" || {
        cat "$work/ca.log" >&2
        exit 1
    }
}

local_names="DNS:localhost, IP:127.0.0.1, IP:::1"

new_ca ca "zef test CA"
new_ca other-ca "zef unknown test CA"
new_key "$out/server.key"

sign ca localhost "$local_names" server.pem -days 3650
# openssl ca takes explicit dates, which may lie in the past: an honestly expired certificate.
sign ca localhost "$local_names" server-expired.pem \
    -startdate 200101000000Z -enddate 200102000000Z
sign ca wrong.example "DNS:wrong.example" server-wronghost.pem -days 3650
sign other-ca localhost "$local_names" server-unknownca.pem -days 3650
