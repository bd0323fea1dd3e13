"""The certificate policy value: 0 does not disable the update, 1 does (an error), and a value
stored as a string counts as missing (OK, no error)."""

# Each run after importing its .reg file over the earlier ones.
STEPS = [
    ("policy-0.reg", "zero.txt"),
    ("policy-1.reg", "one.txt"),
    ("policy-string.reg", "string.txt"),
]


def play(t):
    for reg_file, expected in STEPS:
        t.import_reg(reg_file)
        result = t.run()
        t.check(result.exit == 0, f"exit code {result.exit}, expected 0")
        t.expect_text(result.stderr, expected)
