"""The system time check at each edge of its window (both bounds exclusive) and at 09:05:07,
printed with a full stop before the seconds."""

NOT_ON = {"wine": "Wine takes the host's clock, which a scenario cannot set"}

CASES = [
    ("2019-01-28T00:00:00.000", "2019.01.28 00:00.00", False),
    ("2019-01-28T00:00:00.001", "2019.01.28 00:00.00", True),
    ("2021-03-28T23:59:58.999", "2021.03.28 23:59.58", True),
    ("2021-03-28T23:59:59.000", "2021.03.28 23:59.59", False),
    ("2020-06-15T09:05:07", "2020.06.15 09:05.07", True),
]
INVALID = "error: \r\nError: Windows has invalid system time"


def play(t):
    for clock, shown, inside in CASES:
        t.machine(clock=clock)
        result = t.run()
        expected = f"\r\nSystem time is: {shown}" + ("\r\nOK" if inside else INVALID)
        t.check(f"FileVersion of this tool: " in result.stderr, f"{clock}: no version line")
        line = result.stderr[result.stderr.find("\r\nSystem time is"):]
        line = line[:line.find("\r\n\r\nSHA2 support:")]
        t.check(line == expected, f"{clock}: {line!r}, expected {expected!r}")
