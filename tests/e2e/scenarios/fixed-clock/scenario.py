"""The banners show the machine's UTC time field by field: year, month, day, hour, minute and
second, zero-padded, with a point between minute and second."""

NOT_ON = {"wine": "Wine takes the host's clock, which a scenario cannot set"}


def play(t):
    t.machine(clock="2019-03-01T12:05:09")
    result = t.run()
    t.check(result.exit == 0, f"exit code {result.exit}, expected 0")
    t.expect_log("log.txt")
