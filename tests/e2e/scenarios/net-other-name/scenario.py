"""A trusted certificate for another host name: the platform refuses it (wrong name), the send
fails, and the presented certificate "does not meet requirements"."""

import netlab

LAB = netlab.Lab(certificate="other-name", trust=["test-ca"])


def play(t):
    netlab.play_probe(t, LAB)
