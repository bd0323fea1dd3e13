"""The server presents exactly the certificate the tool carries. It has expired and its
signature is not the CA's, so the platform refuses it and the send fails; Windows still hands over
the presented certificate, and the probe identifies it by its thumbprint."""

import netlab

LAB = netlab.Lab(certificate="carried")


def play(t):
    netlab.play_probe(t, LAB)
