"""Nothing listens on the service's address: the send fails, the certificate query fails,
the verdict is "unknown" with an empty certificate block and the explanation."""

import netlab

LAB = netlab.Lab(certificate=None)


def play(t):
    netlab.play_probe(t, LAB)
