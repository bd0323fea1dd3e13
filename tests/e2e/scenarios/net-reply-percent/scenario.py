"""A body with "%" signs prints them as they are, not as a format."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import netlab  # noqa: E402

LAB = netlab.Lab(certificate="interceptor", trust=["test-ca"],
                 reply=["100% sure: %s %d %% %n %08x"])


def wrap(t, argv):
    return LAB.wrap(t, argv)


def play(t):
    netlab.play_probe(t, LAB)
