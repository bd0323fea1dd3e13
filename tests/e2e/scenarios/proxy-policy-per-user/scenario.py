"""ProxySettingsPerUser 0 under the policies key prints its information line with the
administrator note and still ends with "OK"."""


def play(t):
    t.import_reg("policy.reg")
    result = t.run()
    t.check(result.exit == 0, f"exit code {result.exit}, expected 0")
    t.expect_text(result.stderr, "console.txt")
