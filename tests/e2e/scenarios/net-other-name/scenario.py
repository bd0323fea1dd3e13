"""A trusted certificate for another host name: the platform refuses it (wrong name), the send
fails, and the presented certificate "does not meet requirements"."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import netlab  # noqa: E402

LAB = netlab.Lab(certificate="other-name", trust=["test-ca"])


def wrap(t, argv):
    return LAB.wrap(t, argv)


def play(t):
    netlab.play_probe(t, LAB)
