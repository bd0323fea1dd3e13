"""A fixed answer list of 101 entries for the service host (numbered 0 to 100, right-aligned in
three columns, the one known address among them gives OK), an IPv6-only answer for the PKI host
(the warning) and a resolver error for the IP location host."""

NOT_ON = {"wine": "Wine answers from the host's resolver; fixed answer lists are the stand-in's"}

HEADING = "\r\n\r\nGetAddrInfoW response test:"
NEXT = "\r\n\r\nVerify chain test:"


def play(t):
    answers = [f"service.tolv.com,203.0.113.{i}" for i in range(100)]
    answers.insert(57, "service.tolv.com,198.51.100.11")
    answers.append("pki.tolv.com,fe80::1%3")
    t.machine(**{"name-answer": answers, "name-error": "iplocation.tolv.com,11002"})
    result = t.run()
    console = result.stderr
    start = console.find(HEADING)
    t.expect_text(console[start:console.find(NEXT, start)], "names.txt")
