"""A body with "%" signs prints them as they are, not as a format."""

import netlab

LAB = netlab.Lab(certificate="interceptor", trust=["test-ca"],
                 reply=["100% sure: %s %d %% %n %08x"])


def play(t):
    netlab.play_probe(t, LAB)
