"""DLLs planted beside the tool under the names of the system DLLs it loads by name (version,
crypt32, winhttp), with Wine told to prefer a native DLL over its own: none of them runs, since
the tool loads those DLLs from the system folder, and the run is a normal run."""


PLANTED = ["version.dll", "crypt32.dll", "winhttp.dll"]


def play(t):
    for name in PLANTED:
        t.build_dll("planted.c", t.work / name)
    # n,b: a native DLL where the search finds one first, Wine's own otherwise.
    result = t.run(env={"WINEDLLOVERRIDES": "mscoree,mshtml=;version,crypt32,winhttp=n,b"})
    # A DLL's marker takes the name it was loaded by (CRYPT32.dll.ran for an import).
    ran = sorted(marker.name for marker in t.work.iterdir() if marker.name.lower().endswith(".ran"))
    t.check(not ran, f"planted DLLs ran: {', '.join(ran)}")
    t.check(result.exit == 0, f"exit code {result.exit}, expected 0")
    t.check(result.stdout == "", f"standard output {result.stdout!r}, expected nothing")
    t.expect_text(result.stderr, "../normal-run/console.txt")
