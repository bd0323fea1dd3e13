"""The tool started from a network share logs beside itself there, as anywhere else: started by
\\\\fileserver\\tools\\skelvane.exe (Wine hands it argv[0] as \\\\?\\UNC\\fileserver\\tools\\...)
the checks run, and started by argv[0] \\\\fileserver\\tools\\skelvane.exe /pkiclean empties the
cache; both exit 0 and append to \\\\fileserver\\tools\\skelvane.txt. A share that cannot be
written to stays fatal. Wine's shares are the folders under dosdevices/unc of the prefix."""

import shutil

PROGRAM = "\\\\fileserver\\tools\\skelvane.exe"


def play(t):
    share = t.prefix / "dosdevices" / "unc" / "fileserver" / "tools"
    share.mkdir(parents=True)
    shutil.copy2(t.work / "skelvane.exe", share / "skelvane.exe")

    result = t.run(program=PROGRAM)
    t.check(result.exit == 0, f"checks: exit code {result.exit}, expected 0")
    t.expect_text(result.stdout, "stdout.txt")
    t.expect_text(result.stderr, "console.txt")

    result = t.run(["/pkiclean"], argv0=PROGRAM, program=PROGRAM)
    t.check(result.exit == 0, f"/pkiclean: exit code {result.exit}, expected 0")
    t.expect_text(result.stdout, "stdout.txt")
    t.expect_text(result.stderr, "pkiclean-console.txt")

    log = share / "skelvane.txt"
    data = log.read_bytes() if log.is_file() else b""
    if t.check(data.startswith(b"\xff\xfe"), f"log on the share starts with {data[:2].hex(' ')}"):
        t.expect_text(data[2:].decode("utf-16-le", errors="replace"), "log.txt")
    t.check(t.log_bytes() is None, "a log in the work folder, the tool did not start there")

    t.readonly_dir(share)
    result = t.run(program=PROGRAM)
    t.check(result.exit == 1, f"read-only share: exit code {result.exit}, expected 1")
    t.expect_text(result.stdout, "../log-folder-read-only/stdout.txt")
    t.check(result.stderr == "", f"read-only share: standard error {result.stderr!r}")
    t.check(log.read_bytes() == data, "read-only share: the log changed")
