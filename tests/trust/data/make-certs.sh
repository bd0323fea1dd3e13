#!/bin/sh
# Makes the test certificates of the chain tests (run once; the DER files are kept in git).
# A test root, an intermediate under it, and leaves that each break one rule of the SSL policy.
set -e
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for name in root intermediate leaf; do
    openssl genrsa -out "$work/$name.key" 2048 2>/dev/null
done
cat > "$work/ca.cnf" <<CNF
[ca]
default_ca = test
[test]
database = $work/index.txt
new_certs_dir = $work
serial = $work/serial
default_md = sha256
policy = any
unique_subject = no
copy_extensions = none
[any]
commonName = supplied
[root]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[intermediate]
basicConstraints = critical, CA:true, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[server]
basicConstraints = CA:false
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth, clientAuth
subjectAltName = DNS:service.tolv.com
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[other-host]
basicConstraints = CA:false
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:other.example
authorityKeyIdentifier = keyid
[client-only]
basicConstraints = CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = clientAuth
subjectAltName = DNS:service.tolv.com
authorityKeyIdentifier = keyid
[critical-unknown]
basicConstraints = CA:false
extendedKeyUsage = serverAuth
subjectAltName = DNS:service.tolv.com
authorityKeyIdentifier = keyid
1.3.6.1.4.1.55555.1 = critical, ASN1:UTF8String:test
[under-leaf]
basicConstraints = CA:false
extendedKeyUsage = serverAuth
subjectAltName = DNS:service.tolv.com
CNF
: > "$work/index.txt"
echo 1000 > "$work/serial"
sign() {  # name subject signer-cert signer-key section key
    openssl req -new -key "$work/$6.key" -subj "$2" -out "$work/$1.csr"
    if [ "$3" = self ]; then
        openssl ca -batch -config "$work/ca.cnf" -selfsign -keyfile "$work/$6.key" \
            -in "$work/$1.csr" -out "$work/$1.pem" -extensions "$5" \
            -startdate 20000101000000Z -enddate 20991231235959Z 2>/dev/null
    else
        openssl ca -batch -config "$work/ca.cnf" -cert "$3" -keyfile "$work/$4.key" \
            -in "$work/$1.csr" -out "$work/$1.pem" -extensions "$5" \
            -startdate 20190101000000Z -enddate 20991231235959Z 2>/dev/null
    fi
    openssl x509 -in "$work/$1.pem" -outform der -out "$1.der"
}
sign test-root "/CN=Skelvane Test Root" self - root root
sign test-intermediate "/CN=Skelvane Test Intermediate" "$work/test-root.pem" root intermediate intermediate
for leaf in server client-only critical-unknown; do
    sign "test-$leaf" "/CN=service.tolv.com" "$work/test-intermediate.pem" intermediate "$leaf" leaf
done
sign test-other-host "/CN=other.example" "$work/test-intermediate.pem" intermediate other-host leaf
# Issued by a certificate that is not a CA.
sign test-under-leaf "/CN=Skelvane Test Under Leaf" "$work/test-server.pem" leaf under-leaf intermediate
# A self-signed server certificate that no store trusts.
sign test-self-signed "/CN=service.tolv.com" self - server leaf
# The test root's name on another key: issued nothing.
sign test-root-decoy "/CN=Skelvane Test Root" self - root leaf
