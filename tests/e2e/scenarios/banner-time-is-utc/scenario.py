"""On a machine four hours ahead of UTC the banners still show UTC, within the seconds the run
took."""

import datetime
import re

LOCAL_ZONE = "<+04>-4"  # POSIX form: UTC+4, no daylight saving
BANNER = re.compile(r"Log (start|end) time: (\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}\.\d{2})")


def utc_now():
    return datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None, microsecond=0)


def play(t):
    before = utc_now()
    result = t.run(env={"TZ": LOCAL_ZONE})
    after = utc_now()
    t.check(result.exit == 0, f"exit code {result.exit}, expected 0")
    t.expect_log("../normal-run/log.txt")
    log = (t.log_bytes() or b"")[2:].decode("utf-16-le", errors="replace")
    banners = BANNER.findall(log)
    t.check([kind for kind, _ in banners] == ["start", "end"], f"banners: {banners}")
    for kind, shown in banners:
        when = datetime.datetime.strptime(shown, "%Y.%m.%d %H:%M.%S")
        t.check(before <= when <= after, f"{kind} banner {shown} is not UTC {before}..{after}")
