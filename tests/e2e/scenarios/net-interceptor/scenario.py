"""An interceptor with a certificate for the service's name from a CA the machine trusts,
relaying the expected reply: content OK, the "subject match" warning, the certificate and the
explanation."""

import netlab

LAB = netlab.Lab(certificate="interceptor", trust=["test-ca"])


def play(t):
    netlab.play_probe(t, LAB)
