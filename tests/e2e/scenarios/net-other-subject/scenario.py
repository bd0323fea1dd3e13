"""A trusted certificate valid for the service's host but with a proxy's own subject: the
reply arrives and is OK, the certificate "does not meet requirements"."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import netlab  # noqa: E402

LAB = netlab.Lab(certificate="other-subject", trust=["test-ca"])


def wrap(t, argv):
    return LAB.wrap(t, argv)


def play(t):
    netlab.play_probe(t, LAB)
