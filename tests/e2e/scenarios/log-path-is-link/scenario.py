"""The log's place holds a symbolic link: the run refuses it with the fatal message and exit 1, so
neither the file the link names nor a dangling link's missing target receives a byte. Windows
shows the link as a reparse point and the run refuses it before the open; Wine shows a host's link
as the plain file it names, and the run refuses it after the open, when the handle's final path
names the other file. On Wine a second drive letter for the tool's folder is no link: the run
started by it logs as usual."""

import os


def play(t):
    elsewhere = t.work / "elsewhere"
    elsewhere.mkdir()
    target = elsewhere / "file.txt"
    target.write_bytes(b"precious")
    link = t.work / "skelvane.txt"
    link.symlink_to(target)
    result = t.run()
    t.check(result.exit == 1, f"link to a file: exit code {result.exit}, expected 1")
    t.expect_text(result.stdout, "../log-path-is-folder/stdout.txt")
    t.check(result.stderr == "", f"standard error {result.stderr!r}, expected nothing")
    t.check(target.read_bytes() == b"precious", "the link's target was written to")

    link.unlink()
    missing = elsewhere / "missing.txt"
    link.symlink_to(missing)
    result = t.run()
    t.check(result.exit == 1, f"dangling link: exit code {result.exit}, expected 1")
    t.expect_text(result.stdout, "../log-path-is-folder/stdout.txt")
    t.check(not missing.exists(), "the dangling link's target was created")
    link.unlink()

    # The folder is Z:\...\work and, from here on, Q: as well; Wine then names its files by
    # Q: (the nearer mapping) whichever letter opened them.
    os.symlink(t.work, t.prefix / "dosdevices" / "q:")
    by_z = "Z:" + str(t.work / "skelvane.exe").replace("/", "\\")
    for argv0 in ("Q:\\skelvane.exe", by_z):
        what = f"second drive letter, started as {argv0}"
        result = t.run(argv0=argv0)
        t.check(result.exit == 0, f"{what}: exit code {result.exit}, expected 0")
        t.expect_text(result.stderr, "../normal-run/console.txt")
        data = t.log_bytes()
        t.check(data is not None and data.startswith(b"\xff\xfe"), f"{what}: no log")
        if data is not None:
            (t.work / "skelvane.txt").unlink()
