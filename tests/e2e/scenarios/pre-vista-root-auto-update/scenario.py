"""Before Vista the component setting is read too, and a missing policy key prints nothing.
The machine is Windows XP SP3 (Wine's "winxp" version setting); the component key missing (its
open's own reason, 0x00000002), its value missing, 1 and 0."""

# Each run after importing its .reg file over the earlier ones.
STEPS = [
    ("winxp.reg", "no-key.txt"),
    ("component-key.reg", "no-value.txt"),
    ("component-1.reg", "enabled.txt"),
    ("component-0.reg", "disabled.txt"),
]


def play(t):
    for reg_file, expected in STEPS:
        t.import_reg(reg_file)
        result = t.run()
        t.check(result.exit == 0, f"exit code {result.exit}, expected 0")
        t.expect_text(result.stderr, expected)
