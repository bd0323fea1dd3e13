"""/pkiclean (any letter case) on a machine without the product's cache: "does not exist" with
the code of the missing folder on the way, exit 0, no prompt, and the log keeps no end banner."""


def play(t):
    result = t.run(["/PkiClean"])
    t.check(result.exit == 0, f"exit code {result.exit}, expected 0")
    t.check(result.stdout == "", f"standard output {result.stdout!r}, expected nothing")
    t.expect_text(result.stderr, "console.txt")
    t.expect_log("log.txt")
