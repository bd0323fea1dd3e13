"""Plays the /pkiclean race inside one wrapped run, so that every run of the tool shares one
wineserver (a run costs a fraction of a second instead of seconds):

    python3 race.py PLAN RESULTS -- TOOL-COMMAND...

PLAN is JSON: {"racer": path, "pki": host path of PKI, "victim": host path of the victim's
PKI folder, "rounds": [[cache files, runs], ...]}. For each run the cache is stocked afresh, the
victim's ctl holds files of the same names and one of its own, the racer starts, the tool runs,
the racer stops (the real folders back in place). RESULTS gets one record per run."""

import json
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path


def stock(folder, names, data):
    if folder.exists():
        shutil.rmtree(folder)
    folder.mkdir(parents=True)
    for name in names:
        (folder / name).write_bytes(data)


def play_run(plan, files, command):
    pki = Path(plan["pki"])
    victim_ctl = Path(plan["victim"]) / "ctl"
    names = [f"f{number:04d}.crl" for number in range(files)]
    stock(pki / "ctl", names, b"12")
    stock(victim_ctl, names + ["victim.dat"], b"keep")
    ready = pki.parent / "racer-ready"
    ready.unlink(missing_ok=True)
    racer = subprocess.Popen([plan["racer"], str(pki), plan["victim"], str(ready)])
    while not ready.exists() and racer.poll() is None:
        time.sleep(0.005)
    with open(pki.parent / "stdout", "w+b") as out, open(pki.parent / "stderr", "w+b") as err:
        code = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                              timeout=60).returncode
        err.seek(0)
        console = err.read().decode("utf-8", "replace")
    racer.send_signal(signal.SIGTERM)
    racer.wait()
    left = sorted(entry.name for entry in victim_ctl.iterdir())
    return {"files": files, "exit": code, "console": console,
            "victim_deleted": len(names) + 1 - len(left),
            "restored": (pki / "ctl").is_dir() and not (pki / "ctl").is_symlink()
                        and not pki.is_symlink()}


def main():
    plan = json.loads(Path(sys.argv[1]).read_text())
    command = sys.argv[sys.argv.index("--") + 1:]
    results = []
    for files, runs in plan["rounds"]:
        for _ in range(runs):
            results.append(play_run(plan, files, command))
    Path(sys.argv[2]).write_text(json.dumps(results))


if __name__ == "__main__":
    main()
