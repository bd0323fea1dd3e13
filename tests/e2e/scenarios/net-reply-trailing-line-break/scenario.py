"""The expected reply with a line break after it is not the expected reply."""

import netlab

LAB = netlab.Lab(certificate="interceptor", trust=["test-ca"], reply=[netlab.EXPECTED_REPLY + "\n"])


def play(t):
    netlab.play_probe(t, LAB)
