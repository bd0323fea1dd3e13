"""The expected reply with a line break after it is not the expected reply."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import netlab  # noqa: E402

LAB = netlab.Lab(certificate="interceptor", trust=["test-ca"], reply=[netlab.EXPECTED_REPLY + "\n"])


def wrap(t, argv):
    return LAB.wrap(t, argv)


def play(t):
    netlab.play_probe(t, LAB)
