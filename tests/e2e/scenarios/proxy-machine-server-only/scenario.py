"""A server left behind in the machine's key with ProxyEnable 0 opens an information block and
keeps "OK" away, without a warning."""


def play(t):
    t.import_reg("proxy.reg")
    result = t.run()
    t.check(result.exit == 0, f"exit code {result.exit}, expected 0")
    t.expect_text(result.stderr, "console.txt")
