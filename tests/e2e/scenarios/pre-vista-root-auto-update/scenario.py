"""Before Vista the component setting is read too, and a missing policy key prints nothing.
The machine is Windows XP SP3 (Wine: its "winxp" version setting; native: the same record);
the component key missing (its open's own reason, 0x00000002), its value missing, 1 and 0."""

# The same Windows on the stand-in, where the registry does not set the version.
MACHINE = {
    "os-version": "5.1.2600",
    "service-pack": "3.0",
    "csd-version": "Service Pack 3",
    "suite-mask": "0x100",
}

# Each run after importing its .reg file over the earlier ones.
STEPS = [
    ("winxp.reg", "no-key.txt"),
    ("component-key.reg", "no-value.txt"),
    ("component-1.reg", "enabled.txt"),
    ("component-0.reg", "disabled.txt"),
]


def play(t):
    t.machine(**MACHINE)
    for reg_file, expected in STEPS:
        t.import_reg(reg_file)
        result = t.run()
        t.check(result.exit == 0, f"exit code {result.exit}, expected 0")
        t.expect_text(result.stderr, expected)
