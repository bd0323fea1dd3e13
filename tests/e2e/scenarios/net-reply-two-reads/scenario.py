"""The expected reply in two TLS records, a long pause between them so that even a slow client
reads the first alone: two reads, so the content is not OK and both pieces stand between the
separators, one right after the other."""

import netlab

LAB = netlab.Lab(certificate="interceptor", trust=["test-ca"],
                 reply=[netlab.EXPECTED_REPLY[:60], netlab.EXPECTED_REPLY[60:]], pause_ms=800)


def play(t):
    netlab.play_probe(t, LAB)
