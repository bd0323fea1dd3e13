"""An enabled proxy of the current user is a warning block continued by its server and
exceptions; "OK" is not printed."""


def play(t):
    t.import_reg("proxy.reg")
    result = t.run()
    t.check(result.exit == 0, f"exit code {result.exit}, expected 0")
    t.expect_text(result.stderr, "console.txt")
