"""A 64-bit Windows 10 machine: the version record of Windows 10 (Wine: its "win10" version
setting; native: the same record set on the stand-in), the x64 architecture, and the three
Windows strings the registry holds there.
The Wine leg needs a 64-bit Wine prefix, where the machine is x64."""

NEEDS_X64_WINE = "a 32-bit Wine prefix is an x86 machine, whatever its version setting says"

# The same Windows on the stand-in, where the registry does not set the version.
MACHINE = {
    "os-version": "10.0.18362",
    "service-pack": "0.0",
    "csd-version": "",
    "suite-mask": "0x100",
    "architecture": "x64",
}


def play(t):
    t.machine(**MACHINE)
    t.import_reg("windows10.reg")
    result = t.run()
    t.check(result.exit == 0, f"exit code {result.exit}, expected 0")
    t.expect_text(result.stderr, "console.txt")
