"""An interceptor whose CA copies the name of the service's CA: "subject and issuer match",
then the certificate and the explanation."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import netlab  # noqa: E402

LAB = netlab.Lab(certificate="interceptor-copying-ca", trust=["copying-ca"])


def wrap(t, argv):
    return LAB.wrap(t, argv)


def play(t):
    netlab.play_probe(t, LAB)
