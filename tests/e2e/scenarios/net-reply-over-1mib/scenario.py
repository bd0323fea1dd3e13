"""A body of 1.25 MiB, sent chunked: the first MiB is shown, the rest read, dropped and
counted after the last piece shown."""

import netlab

LAB = netlab.Lab(certificate="interceptor", trust=["test-ca"], framing="chunked",
                 reply=[{"repeat": "0123456789abcdef", "count": 16384}] * 5, pause_ms=0)


PIECE = "0123456789abcdef"
SHOWN = 1024 * 1024


def play(t):
    # The shown MiB is checked here and stands as a mark in probe.txt, which keeps the rest.
    result = t.run()
    t.check(result.exit == 0, f"exit code {result.exit}, expected 0")
    section = netlab.probe_section(result.stderr)
    separator = "\n----------------------------------------------\n"
    start = section.find(separator) + len(separator)
    shown = section[start:start + SHOWN]
    t.check(shown == PIECE * (SHOWN // len(PIECE)), "the first MiB of the reply is not shown as sent")
    t.expect_text(section[:start] + "<the first MiB of the reply>" + section[start + SHOWN:],
                  "probe.txt")
