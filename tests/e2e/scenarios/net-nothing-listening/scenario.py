"""Nothing listens on the service's address: the send fails, the certificate query fails,
the verdict is "unknown" with an empty certificate block and the explanation."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import netlab  # noqa: E402

LAB = netlab.Lab(certificate=None)


def wrap(t, argv):
    return LAB.wrap(t, argv)


def play(t):
    netlab.play_probe(t, LAB)
