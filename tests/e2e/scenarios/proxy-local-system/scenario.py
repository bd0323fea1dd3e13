"""LocalSystem's own Internet Settings (HKEY_USERS\\S-1-5-18) with an enabled proxy: a warning
block for HKU. Wine keeps such keys only while its wineserver runs: the import is made
within each run's own wineserver."""


def play(t):
    t.import_reg("proxy.reg")
    result = t.run()
    t.check(result.exit == 0, f"exit code {result.exit}, expected 0")
    t.expect_text(result.stderr, "console.txt")
