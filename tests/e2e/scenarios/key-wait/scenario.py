"""With a console, a user's run waits at the prompt until a key is pressed, then ends normally.
The console is a terminal that gets its first key a while after the run starts: the run's
standard input, which Wine then makes the process's console."""

import os
import threading
import time

DELAY = 1.5  # seconds before the first key


def press_keys(master, stop):
    # The tool flushes the console input before it waits: keep pressing until it has ended.
    if stop.wait(DELAY):
        return
    while not stop.is_set():
        os.write(master, b"k")
        stop.wait(0.2)


def play(t):
    master, terminal = os.openpty()
    stop = threading.Event()
    presser = threading.Thread(target=press_keys, args=(master, stop))
    try:
        presser.start()
        started = time.monotonic()
        result = t.run(timeout=30, stdin=terminal)
        elapsed = time.monotonic() - started
    finally:
        stop.set()
        presser.join()
        os.close(terminal)
        os.close(master)
    t.check(result.exit == 0, f"exit code {result.exit}, expected 0")
    t.check(elapsed >= DELAY, f"the run ended after {elapsed:.2f} s, before any key was pressed")
    t.expect_text(result.stderr, "../normal-run/console.txt")
    t.expect_log("../normal-run/log.txt")
