"""A stream callback that counts its calls, shared by the in-process tests and the scripts they
run in fresh interpreters (run_python puts this directory on the path)."""

import threading
import time


class Counter:
    """Counts calls; `arrived(n)` waits until at least n calls have come."""

    def __init__(self, delay=0.0):
        self.count = 0
        self.delay = delay
        self.changed = threading.Condition()

    def __call__(self, payload, text):
        if self.delay:
            time.sleep(self.delay)
        with self.changed:
            self.count += 1
            self.changed.notify_all()

    def arrived(self, n, timeout=10):
        with self.changed:
            return self.changed.wait_for(lambda: self.count >= n, timeout)
