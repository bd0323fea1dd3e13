"""A 64-bit Windows 10 machine: the version record of Windows 10 (Wine's "win10" version
setting), the x64 architecture, and the three Windows strings the registry holds there.
It needs a 64-bit Wine prefix, where the machine is x64."""

NEEDS_X64_WINE = "a 32-bit Wine prefix is an x86 machine, whatever its version setting says"


def play(t):
    t.import_reg("windows10.reg")
    result = t.run()
    t.check(result.exit == 0, f"exit code {result.exit}, expected 0")
    t.expect_text(result.stderr, "console.txt")
