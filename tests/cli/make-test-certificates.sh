#!/usr/bin/env bash
# Makes the certificates of the TLS tests of tallylog forward in DIR with openssl: a CA
# (ca.pem), and signed by it server.pem (for 127.0.0.1), client.pem (a forwarder's),
# expired.pem (for 127.0.0.1, valid only on 2020-01-01) and other.pem (for other.example), each
# with its key NAME.key; stranger-ca.pem, a CA that signed none of them, and self.pem, a client
# certificate that no CA signed.
#
#   bash tests/cli/make-test-certificates.sh DIR
set -euo pipefail
cd "$1"
quiet() { "$@" >/dev/null 2>&1 || { "$@"; exit 1; }; }
# NAME CN: a self-signed certificate.
selfsigned() {
    quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 3650 \
        -subj "/CN=$2"
}
selfsigned ca "Tallyview Test CA"
selfsigned stranger-ca "Stranger CA"
selfsigned self self-signed
mkdir -p signed && : >signed/index && echo 01 >signed/serial
printf '%s\n' '[ca]' 'default_ca = test' '[test]' 'database = signed/index' \
    'serial = signed/serial' 'new_certs_dir = signed' 'certificate = ca.pem' \
    'private_key = ca.key' 'default_md = sha256' 'policy = anything' 'copy_extensions = copy' \
    'unique_subject = no' '[anything]' 'commonName = supplied' >ca.cnf
# NAME CN SUBJECT-ALT-NAME START END: a certificate signed by ca.
sign() {
    quiet openssl req -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "/CN=$2" \
        -addext "subjectAltName=$3"
    quiet openssl ca -batch -notext -config ca.cnf -in "$1.csr" -out "$1.pem" \
        -startdate "$4" -enddate "$5"
}
sign server 127.0.0.1 IP:127.0.0.1 20200101000000Z 20491231000000Z
sign client tallylog-client DNS:tallylog-client 20200101000000Z 20491231000000Z
sign expired 127.0.0.1 IP:127.0.0.1 20200101000000Z 20200102000000Z
sign other other.example DNS:other.example 20200101000000Z 20491231000000Z
# The servers run as the test's user: the keys are for it alone.
chmod 600 ./*.key
