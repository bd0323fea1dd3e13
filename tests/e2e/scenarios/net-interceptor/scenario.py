"""An interceptor with a certificate for the service's name from a CA the machine trusts,
relaying the expected reply: content OK, the "subject match" warning, the certificate and the
explanation."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import netlab  # noqa: E402

LAB = netlab.Lab(certificate="interceptor", trust=["test-ca"])


def wrap(t, argv):
    return LAB.wrap(t, argv)


def play(t):
    netlab.play_probe(t, LAB)
