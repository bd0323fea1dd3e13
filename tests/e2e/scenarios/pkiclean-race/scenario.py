"""A hostile local user races the clean from the host: a racer (racer.c, built with the host's
cc) swaps the cache folder (ctl) and its parent (PKI) for symbolic links to a victim's folders
and back, in a loop and right when the cache folder is first opened, while the tool runs
/pkiclean; at 1, 100 and 1,000 cache files. The victim's folder holds files of the cache's
names and one of its own. No run deletes a victim's file, and every run ends with one of the
clean's texts (the race decides which: cleaned, refused, no cache, files that could not be
deleted). All runs share one wineserver (race.py plays them inside one wrapped run).

What Wine does of its own: a handle opened where a host link stands follows it, so only the check
by path sees the link; the listing comes from the held folder (its Unix descriptor), and an open
relative to it resolves through the folder's current Unix path, so after a swap a deletion there
reaches the link's target by name."""

import json
import re
import subprocess
import sys
from pathlib import Path

import pkicache


# (cache files, runs): fewer runs where a run lists 1,000 files.
ROUNDS = [(1, 25), (100, 20), (1000, 8)]

# Every line the clean may print after its heading, at any outcome of the race.
CACHE = re.escape(pkicache.CACHE)
PATH = r"C:\\ProgramData(\\TOLV(\\TOLV Security(\\PKI(\\ctl)?)?)?)?"
LINE = re.compile("|".join([
    rf'error:     Something is wrong with "{PATH}" \(attr: 0x[0-9a-f]{{8}}, gle: 0x[0-9a-f]{{8}}\)',
    rf'    OK - PKI cache does not exist at "{CACHE}" \(0x[0-9a-f]{{8}}\)',
    rf'    PKI cache directory "{CACHE}" content:',
    r"      f\d{4}\.crl   2 bytes",
    rf'error: Cannot delete file "{CACHE}\\f\d{{4}}\.crl"',
    "", r"    FindFirstFile problem", r"    FindNextFile problem",
    r"    Failed to delete \d+ file\(s\)", r"    Already clean", r"    Successfully cleaned",
]))
HEADING = ("FileVersion of this tool: {version}\n\nClean PKI cache...\n"
           "    ProgramData directory: \"C:\\ProgramData\"\n")


def is_clean_text(console, version):
    heading = HEADING.format(version=version)
    if not console.startswith(heading) or not console.endswith("\n"):
        return False
    return all(LINE.fullmatch(line) for line in console[len(heading):-1].split("\n"))


def wrap(t, argv):
    return [sys.executable, str(Path(__file__).parent / "race.py"), str(t.work.parent / "plan"),
            str(t.work.parent / "results"), "--"] + argv


def play(t):
    racer = t.work.parent / "racer"
    subprocess.run(["cc", "-O2", "-o", str(racer), str(t.dir / "racer.c")], check=True)
    victim = t.work.parent / "victim" / "PKI"
    victim.mkdir(parents=True)
    pki = pkicache.host_path(t, pkicache.APPDATA + r"\TOLV\TOLV Security\PKI")
    pki.mkdir(parents=True)
    (t.work.parent / "plan").write_text(json.dumps(
        {"racer": str(racer), "pki": str(pki), "victim": str(victim), "rounds": ROUNDS}))
    result = t.run(["/pkiclean"], timeout=120)
    t.check(result.exit == 0, f"the race ended with {result.exit}: {result.stderr}")
    results = json.loads((t.work.parent / "results").read_text())
    t.check(len(results) == sum(runs for _, runs in ROUNDS), f"{len(results)} runs")
    cmake = (t.dir.parents[3] / "CMakeLists.txt").read_text()
    version = re.search(r"project\(skelvane VERSION (\S+)", cmake).group(1)
    outcomes = {}
    for number, run in enumerate(results):
        what = f"run {number} ({run['files']} files)"
        t.check(run["victim_deleted"] == 0, f"{what}: {run['victim_deleted']} victim files deleted")
        t.check(run["exit"] == 0, f"{what}: exit code {run['exit']}")
        t.check(run["restored"], f"{what}: the racer left a link behind")
        t.check(is_clean_text(run["console"], version), f"{what}: {run['console']!r}")
        last = run["console"].rstrip("\n").rsplit("\n", 1)[-1].strip()
        outcomes[last[:40]] = outcomes.get(last[:40], 0) + 1
    won = [run for run in results if run["victim_deleted"]]
    print(f"    pkiclean-race: {len(results)} runs; victim files deleted in {len(won)} "
          f"({sum(run['victim_deleted'] for run in won)} files); outcomes {outcomes}")
