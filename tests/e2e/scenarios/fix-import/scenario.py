"""/fix on a machine that does not trust DigiCert Global Root CA (its CA bundle lacks it): the
normal run's chains stop short of a root; /fix adds the root to the local machine's Root store
(in Wine's registry), prints the banner and runs the checks, whose
chains now end in the imported root; a second /fix adds it again and succeeds again."""

import os
import re
import shlex
import subprocess
from pathlib import Path

CERTS = Path(__file__).resolve().parents[4] / "trust" / "certs"
ROOT_DER = CERTS / "digicert-global-root-ca.der"
ROOT_THUMBPRINT = "A8985D3A65E5E5C4B2D7D66D40C6DD2FB19C5436"
HOST_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"

if os.geteuid() != 0:
    WHY = "the reduced CA bundle is bind-mounted in a mount namespace, which needs root"
    NOT_ON = {"wine": WHY}


def bundle_without_root(t):
    """The host's bundle less DigiCert Global Root CA, beside the tool."""
    path = t.work.parent / "ca-bundle-without-digicert.crt"
    if not path.exists():
        root = subprocess.run(["openssl", "x509", "-inform", "der", "-in", str(ROOT_DER)],
                              capture_output=True, text=True, check=True).stdout.strip()
        pems = re.findall(r"-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----",
                          Path(HOST_BUNDLE).read_text(), re.S)
        kept = [pem for pem in pems if pem.strip() != root]
        assert len(kept) == len(pems) - 1, "the host's bundle should hold the root once"
        path.write_text("\n".join(kept) + "\n")
    return path


def wrap(t, argv):
    # A mount namespace of its own, with the reduced bundle over the host's. The run's own
    # wineserver is waited for, so that the registry is written when the run ends.
    setup = f"mount --bind {shlex.quote(str(bundle_without_root(t)))} {HOST_BUNDLE}"
    finish = "; code=$?; wineserver -w; exit $code"
    return ["unshare", "-m", "sh", "-c", setup + ' && "$@"' + finish, "sh"] + argv


def root_in_store(t):
    """Whether the local machine's Root store holds DigiCert Global Root CA."""
    der = ROOT_DER.read_bytes()
    registry = (t.prefix / "system.reg").read_text(errors="replace")
    key = ("[Software\\\\Microsoft\\\\SystemCertificates\\\\Root\\\\Certificates\\\\"
           + ROOT_THUMBPRINT + "]")
    at = registry.find(key)
    if at < 0:
        return False
    entry = registry[at:registry.find("\n[", at + 1)]
    blob = re.sub(r"[^0-9a-f]", "", entry.split('"Blob"=hex:', 1)[-1])
    return der.hex() in blob


def play(t):
    before = t.run()
    t.check(before.exit == 0, f"normal run: exit code {before.exit}, expected 0")
    t.expect_text(before.stderr, "untrusted.txt")
    t.check(not root_in_store(t), "the root is in the Root store before /fix")

    for attempt in ("first", "second"):
        fixed = t.run(["/fix"])
        t.check(fixed.exit == 0, f"{attempt} /fix: exit code {fixed.exit}, expected 0")
        t.check(fixed.stdout == "", f"{attempt} /fix: standard output {fixed.stdout!r}")
        t.expect_text(fixed.stderr, "fixed.txt")
        t.check(root_in_store(t), f"after the {attempt} /fix the root is not in the Root store")
