"""Name resolution in a lab: the service host answers a known address (the entry line, then OK),
the PKI host answers an address the vendor is not known to use together with an IPv6 address
(the warning with the known list), and the IP location host does not resolve (the resolver's
code in decimal and hexadecimal; the next checks still run)."""

import netlab

LAB = netlab.Lab(certificate=None, hosts={
    "service.tolv.com": "192.0.2.10",
    "pki.tolv.com": ["198.18.0.20", "2001:db8::20"],
})

HEADING = "\r\n\r\nGetAddrInfoW response test:"
NEXT = "\r\n\r\nVerify chain test:"


def play(t):
    result = t.run()
    t.check(result.exit == 0, f"exit code {result.exit}, expected 0")
    console = result.stderr
    start = console.find(HEADING)
    t.check(console.find(NEXT, start) > start, "the chain tests do not follow")
    t.expect_text(console[start:console.find(NEXT, start)], "names.txt")
