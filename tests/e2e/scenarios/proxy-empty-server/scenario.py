"""A ProxyServer holding the empty string still counts (nothing between the quotes, no "OK"); a
REG_EXPAND_SZ ProxyOverride (hex(2), over two lines) is printed unexpanded."""


def play(t):
    t.import_reg("proxy.reg")
    result = t.run()
    t.check(result.exit == 0, f"exit code {result.exit}, expected 0")
    t.expect_text(result.stderr, "console.txt")
