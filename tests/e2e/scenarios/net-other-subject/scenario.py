"""A trusted certificate valid for the service's host but with a proxy's own subject: the
reply arrives and is OK, the certificate "does not meet requirements"."""

import netlab

LAB = netlab.Lab(certificate="other-subject", trust=["test-ca"])


def play(t):
    netlab.play_probe(t, LAB)
