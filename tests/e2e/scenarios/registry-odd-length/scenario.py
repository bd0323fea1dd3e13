"""String values of an odd byte count without a terminator, stored byte for byte: the product's
ProductType (HKLM) and the user's ProxyServer (HKCU). Each is shown as the stored text, its odd
last byte the low byte of a last character, and nothing after it: "ABC" and "abX"."""

PRODUCT_KEY = r"SOFTWARE\TOLV\TOLV Security\CurrentVersion\Info"
USER_PROXY_KEY = r"SOFTWARE\Microsoft\Windows\CurrentVersion\Internet Settings"
REG_SZ = 1


def play(t):
    t.store_value("HKLM", PRODUCT_KEY, "ProductType", REG_SZ, bytes.fromhex("4100420043"))
    t.store_value("HKCU", USER_PROXY_KEY, "ProxyServer", REG_SZ, bytes.fromhex("6100620058"))
    result = t.run()
    t.check(result.exit == 0, f"exit code {result.exit}, expected 0")
    t.expect_text(result.stderr, "console.txt")
    t.expect_log("log.txt")
