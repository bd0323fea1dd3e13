"""The server presents exactly the certificate the tool carries. It has expired and its
signature is not the CA's, so the platform refuses it and the send fails; Windows still hands over
the presented certificate, and the probe identifies it by its thumbprint."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import netlab  # noqa: E402

LAB = netlab.Lab(certificate="carried")


def wrap(t, argv):
    return LAB.wrap(t, argv)


def play(t):
    netlab.play_probe(t, LAB)
