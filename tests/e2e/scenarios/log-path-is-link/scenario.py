"""The log's place holds a symbolic link (a reparse point on Windows): the run refuses it with
the fatal message and exit 1, before anything is opened, so neither the file the link names nor
a dangling link's missing target receives a byte."""

NOT_ON = {
    "wine": "Wine 8.0 shows a host's symbolic link as the plain file it names "
    "(GetFileAttributesW reports no FILE_ATTRIBUTE_REPARSE_POINT), so there is no link to refuse"
}


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
