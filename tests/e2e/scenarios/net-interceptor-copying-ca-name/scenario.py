"""An interceptor whose CA copies the name of the service's CA: "subject and issuer match",
then the certificate and the explanation."""

import netlab

LAB = netlab.Lab(certificate="interceptor-copying-ca", trust=["copying-ca"])


def play(t):
    netlab.play_probe(t, LAB)
