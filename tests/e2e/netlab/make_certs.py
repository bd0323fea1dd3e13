#!/usr/bin/env python3
"""Makes the lab's test certificates (run once; the results are kept with the lab): a test CA
that a scenario can trust, a CA named exactly like the service's CA, and server certificates
from them. Fixed validity, so that every run shows the same certificate text. Needs the
"cryptography" module; the keys are the *.key.pem files beside this file. Each CA has a key of
its own, apart from the servers' key: a certificate whose issuer's key identifier is its own
looks self-signed to a chain engine."""

import datetime
from pathlib import Path

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

HERE = Path(__file__).resolve().parent
START = datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc)
END = datetime.datetime(2049, 12, 31, 23, 59, 59, tzinfo=datetime.timezone.utc)


def key(name):
    return serialization.load_pem_private_key((HERE / name).read_bytes(), None)


def name(*pairs):
    return x509.Name([x509.NameAttribute(oid, value) for oid, value in pairs])


def issue(out, subject, subject_key, issuer=None, issuer_key=None, dns=None, serial=1):
    ca = dns is None
    issuer_name = issuer.subject if issuer is not None else subject
    builder = (x509.CertificateBuilder().subject_name(subject).issuer_name(issuer_name)
               .public_key(subject_key.public_key()).serial_number(serial)
               .not_valid_before(START).not_valid_after(END)
               .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=ca)
               .add_extension(x509.SubjectKeyIdentifier.from_public_key(subject_key.public_key()),
                              critical=False))
    if ca:
        builder = builder.add_extension(
            x509.KeyUsage(False, False, False, False, False, True, True, False, False), True)
    else:
        builder = (builder
                   .add_extension(x509.KeyUsage(True, False, True, False, False, False, False,
                                                False, False), True)
                   .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), False)
                   .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(
                       issuer_key.public_key()), False)
                   .add_extension(x509.SubjectAlternativeName([x509.DNSName(dns)]), False))
    certificate = builder.sign(issuer_key or subject_key, hashes.SHA256())
    (HERE / out).write_bytes(certificate.public_bytes(serialization.Encoding.PEM))
    return certificate


def main():
    lab, testing, copying = key("lab.key.pem"), key("test-ca.key.pem"), key("copying-ca.key.pem")
    test_ca = issue("test-ca.pem", name((NameOID.ORGANIZATION_NAME, "Skelvane Tests"),
                                        (NameOID.COMMON_NAME, "Skelvane Test Interception CA")),
                    testing, serial=0x1001)
    # Named like the service's CA, in the same order, but a key of its own.
    copying_ca = issue("copying-ca.pem", name((NameOID.COUNTRY_NAME, "US"),
                                              (NameOID.ORGANIZATION_NAME, "DigiCert Inc"),
                                              (NameOID.ORGANIZATIONAL_UNIT_NAME, "www.digicert.com"),
                                              (NameOID.COMMON_NAME, "Thawte RSA CA 2018")),
                       copying, serial=0x1002)
    service = name((NameOID.COMMON_NAME, "service.tolv.com"))
    issue("interceptor.pem", service, lab, test_ca, testing, "service.tolv.com", 0x2001)
    issue("interceptor-copying-ca.pem", service, lab, copying_ca, copying, "service.tolv.com",
          0x2002)
    issue("other-name.pem", name((NameOID.COMMON_NAME, "www.other-name.example")), lab, test_ca,
          testing, "www.other-name.example", 0x2003)
    # A proxy's own name as subject, yet valid for the service's host.
    issue("other-subject.pem", name((NameOID.COMMON_NAME, "proxy.example.test")), lab, test_ca,
          testing, "service.tolv.com", 0x2004)


if __name__ == "__main__":
    main()
