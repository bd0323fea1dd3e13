"""Set-up shared by the /pkiclean scenarios. Drive C: is the Wine prefix's drive_c, so the
product's PKI cache is a host folder the scenario can fill and inspect."""

from pathlib import Path

APPDATA = r"C:\ProgramData"
SUFFIX = r"\TOLV\TOLV Security\PKI\ctl"
CACHE = APPDATA + SUFFIX
# What every /pkiclean run prints first.
HEADER = "FileVersion of this tool: {{VERSION}}\n\nClean PKI cache...\n"


def host_path(t, windows_path):
    """The host path of a path on drive C:."""
    if windows_path[:3].upper() != "C:\\":
        raise ValueError(f"{windows_path} is not on drive C:")
    return t.prefix.joinpath("drive_c", *windows_path[3:].split("\\"))


def cache(t, files=None, folders=()):
    """Makes the cache folder (and its parents) holding `files` ({name: bytes}) and empty
    `folders`; returns its host path."""
    folder = host_path(t, CACHE)
    folder.mkdir(parents=True, exist_ok=True)
    for name, data in (files or {}).items():
        (folder / name).write_bytes(data)
    for name in folders:
        (folder / name).mkdir()
    return folder


def set_appdata(t, windows_path):
    """Moves the machine-wide application-data folder: the shell folder value of the registry,
    which Wine's shell32 reads."""
    escaped = windows_path.replace("\\", "\\\\")
    # Both registry views: in a 64-bit prefix the 32-bit program's shell32 reads the 32-bit one
    # (Wow6432Node); in a 32-bit prefix that key is simply unused.
    reg = t.work.parent / "appdata.reg"
    reg.write_text(
        "Windows Registry Editor Version 5.00\r\n"
        + "".join(f"\r\n[HKEY_LOCAL_MACHINE\\Software\\{view}Microsoft\\Windows\\"
                  f"CurrentVersion\\Explorer\\User Shell Folders]\r\n"
                  f"\"Common AppData\"=\"{escaped}\"\r\n"
                  for view in ("", "Wow6432Node\\")),
        encoding="utf-16")
    result = t.wine(["regedit", "/S", "Z:" + str(reg).replace("/", "\\")])
    t.check(result.exit == 0, f"regedit ended with {result.exit}")


def names(folder):
    """The names in a host folder, sorted."""
    return sorted(entry.name for entry in Path(folder).iterdir())


def clean(t, expected):
    """Runs /pkiclean: exit code 0, nothing on standard output, the console as in `expected`."""
    result = t.run(["/pkiclean"])
    t.check(result.exit == 0, f"exit code {result.exit}, expected 0")
    t.check(result.stdout == "", f"standard output {result.stdout!r}, expected nothing")
    t.expect_text(result.stderr, expected)
    return result
